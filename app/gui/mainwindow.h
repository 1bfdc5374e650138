// The window: the home page and the two other pages in one stack, and the
// page flow.  It remembers its size and place between runs.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QSettings>
#include <QStackedWidget>
#include <QStringList>

#include <memory>

#include "disktreedlg.h"
#include "scaningdlg.h"
#include "skin.h"

class QTextBrowser;

// The help page in a window of the program.
class QHelpWindow : public QWidget {
    Q_OBJECT
public:
    explicit QHelpWindow(QWidget *parent);
    // Loads the page (or says where it was looked for).
    void load(const QString &path);
    QTextBrowser *browser() const { return m_browser; }

private:
    QTextBrowser *m_browser;
};

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    enum Page { PageHome = 0, PageDisk = 1, PageScanning = 2, PageFinished = 3 };
    static constexpr int kMinWidth = 720;
    static constexpr int kMinHeight = 476;

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void ShowWordDlg(int page);
    int currentPage() const { return m_page; }
    bool resultsShown() const { return m_resultsShown; }
    RecoverMod scanMode() const { return m_mode; }
    QDiskTreeDlg *diskPage() const { return m_disk; }
    QScaningDlg *scanPage() const { return m_scaning; }
    QImageWidget *homePage() const { return m_home; }
    QStackedWidget *pages() const { return m_stack; }
    QImageButton *quickButton() const { return m_btnQuick; }
    QImageButton *deepButton() const { return m_btnDeep; }
    QImageButton *helpButton() const { return m_btnHelp; }
    QImageButton *aboutButton() const { return m_btnAbout; }
    QHelpWindow *helpWindow() const { return m_help; }
    // Where the help page is looked for.
    static QString HelpPath();
    // The program's settings (size and place of the window, last folders).
    static std::unique_ptr<QSettings> Settings();

public slots:
    void OnQuickMod();
    void OnDeepMod();
    void OnGoHome();
    void SetScanRecoverMod(RecoverMod mode);
    void AcceptPartiton(Partiton_Struct *part);
    void SetOptitionScan(QStringList types);
    void OnBtnScan();
    void CreateFileTree(Partiton_Struct *part);
    void OnScanFinish();
    void OnBtnBack();
    void OnBtnHelp();
    void OnBtnAbout();

protected:
    void closeEvent(QCloseEvent *e) override;

private:
    void InitBtnCtrl();
    void saveGeometrySetting();

    QStackedWidget *m_stack;
    QDiskTreeDlg *m_disk;
    QScaningDlg *m_scaning;
    QImageWidget *m_home;
    QImageButton *m_btnQuick;
    QImageButton *m_btnDeep;
    QImageButton *m_btnHelp;
    QImageButton *m_btnAbout;
    QPointer<QHelpWindow> m_help;
    RecoverMod m_mode = salvitra::RecoverQuick;
    bool m_resultsShown = false;
    int m_page = PageHome;
};
