// The window: the home page and the two stacked pages, and the page flow.
#pragma once

#include <QMainWindow>
#include <QStringList>

#include "disktreedlg.h"
#include "scaningdlg.h"
#include "skin.h"

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    enum Page { PageHome = 0, PageDisk = 1, PageScanning = 2, PageFinished = 3 };

    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    void ShowWordDlg(int page);
    int currentPage() const { return m_page; }
    bool resultsShown() const { return m_resultsShown; }
    RecoverMod scanMode() const { return m_mode; }
    QDiskTreeDlg *diskPage() const { return m_disk; }
    QScaningDlg *scanPage() const { return m_scaning; }
    QImageWidget *homePage() const { return m_home; }
    QImageButton *quickButton() const { return m_btnQuick; }
    QImageButton *deepButton() const { return m_btnDeep; }
    QImageButton *helpButton() const { return m_btnHelp; }
    // Where the help page is looked for.
    static QString HelpPath();

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

    QDiskTreeDlg *m_disk;
    QScaningDlg *m_scaning;
    QImageWidget *m_home;
    QImageButton *m_btnQuick;
    QImageButton *m_btnDeep;
    QImageButton *m_btnHelp;
    QImageButton *m_btnAbout;
    RecoverMod m_mode = salvitra::RecoverQuick;
    bool m_resultsShown = false;
    int m_page = PageHome;
};
