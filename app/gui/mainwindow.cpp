#include "mainwindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QShortcut>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include "dialogs.h"

namespace {

const char *const kTitle = "Salvitra";

}  // namespace

// ---- QHelpWindow ----

QHelpWindow::QHelpWindow(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setObjectName("helpWindow");
    setWindowTitle("Salvitra Help");
    setWindowIcon(QIcon(":/images/icon_logo.png"));
    m_browser = new QTextBrowser(this);
    m_browser->setAccessibleName("Help");
    m_browser->setOpenExternalLinks(true);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_browser);
    // Escape closes the help as it closes a dialog.
    auto *close = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(close, &QShortcut::activated, this, &QWidget::close);
    resize(820, 640);
}

void QHelpWindow::load(const QString &path)
{
    if (QFile::exists(path)) {
        m_browser->setSource(QUrl::fromLocalFile(path));
        return;
    }
    m_browser->setPlainText("The help page was not found. Salvitra looked for it at\n" + path);
}

// ---- MainWindow ----

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    setObjectName("MainWindow");
    setWindowTitle(kTitle);
    setWindowIcon(QIcon(":/images/icon_logo.png"));
    setDocumentMode(true);
    setMinimumSize(kMinWidth, kMinHeight);

    auto *bar = new QMenuBar(this);
    bar->setObjectName("menuBar");
    QMenu *help = bar->addMenu("&Help");
    QAction *actHelp = help->addAction("Salvitra &Help");
    actHelp->setObjectName("actionHelp");
    actHelp->setShortcut(QKeySequence::HelpContents);
    actHelp->setShortcutContext(Qt::ApplicationShortcut);
    QAction *actAbout = help->addAction("&About Salvitra");
    actAbout->setObjectName("actionAbout");
    setMenuBar(bar);
    connect(actHelp, &QAction::triggered, this, &MainWindow::OnBtnHelp);
    connect(actAbout, &QAction::triggered, this, &MainWindow::OnBtnAbout);

    m_stack = new QStackedWidget(this);
    m_stack->setObjectName("centralWidget");
    setCentralWidget(m_stack);
    m_home = new QImageWidget(m_stack);
    m_home->setObjectName("homePage");
    m_home->SetImageBackgroud(":/images/bg_main.png");
    InitBtnCtrl();

    // The pages connect their signals to this window themselves; the stack
    // holds them.
    m_disk = new QDiskTreeDlg(this);
    m_scaning = new QScaningDlg(this);
    m_stack->addWidget(m_home);
    m_stack->addWidget(m_disk);
    m_stack->addWidget(m_scaning);

    // The size and place of the last run, when they still fit a screen.
    resize(kMinWidth, kMinHeight);
    const QByteArray geometry = Settings()->value("window/geometry").toByteArray();
    if (!geometry.isEmpty())
        restoreGeometry(geometry);

    ShowWordDlg(PageHome);
    m_mode = salvitra::RecoverQuick;
}

MainWindow::~MainWindow()
{
    // The scan and its threads end before the page that shows it goes.
    m_scaning->SetScanAdapter(nullptr);
    m_disk->FreeModBlock(m_mode);
    delete m_help;
}

std::unique_ptr<QSettings> MainWindow::Settings()
{
    return std::make_unique<QSettings>(QSettings::IniFormat, QSettings::UserScope, "Salvitra", "Salvitra");
}

void MainWindow::saveGeometrySetting()
{
    Settings()->setValue("window/geometry", saveGeometry());
}

void MainWindow::InitBtnCtrl()
{
    m_btnQuick = MakeImageButton(m_home, ":/images/btn_quick.png", "Start Quick Scan");
    m_btnQuick->setAccessibleDescription("Finds deleted files through the file system's own records");
    m_btnDeep = MakeImageButton(m_home, ":/images/btn_deep.png", "Start Deep Scan");
    m_btnDeep->setAccessibleDescription("Reads the whole partition: files with their names, and every other file by its content");
    m_btnHelp = MakeImageButton(m_home, ":/images/btn_help.png", "Help");
    m_btnHelp->setToolTip("Help (F1)");
    m_btnAbout = MakeImageButton(m_home, ":/images/btn_about.png", "About");
    m_btnAbout->setToolTip("About Salvitra");

    auto *title = MakeLabel(m_home, "Salvitra", 28, skin::kOnBand, true);
    auto *tagline = MakeLabel(m_home, "Get back lost photos, music, videos and documents", 14, skin::kOnBandMuted);
    tagline->setWordWrap(true);
    auto *question = MakeLabel(m_home, "How would you like to search?", 14, skin::kMuted, true);
    auto *note = MakeLabel(m_home, "Salvitra only reads the disk you scan. Save recovered files to another disk.",
                           11, skin::kMuted);
    note->setWordWrap(true);

    auto *layout = new QVBoxLayout(m_home);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    // The header: the logo is part of the picture, left of the title.
    auto *header = new QWidget(m_home);
    header->setFixedHeight(100);
    auto *hl = new QVBoxLayout(header);
    hl->setContentsMargins(100, 18, 24, 14);
    hl->setSpacing(2);
    hl->addWidget(title);
    hl->addWidget(tagline);
    layout->addWidget(header);
    auto *q = new QHBoxLayout();
    q->setContentsMargins(40, 12, 40, 0);
    q->addWidget(question);
    layout->addLayout(q);
    layout->addStretch(1);
    auto *cards = new QHBoxLayout();
    cards->setContentsMargins(40, 8, 40, 8);
    cards->setSpacing(20);
    cards->addStretch(1);
    cards->addWidget(m_btnQuick);
    cards->addWidget(m_btnDeep);
    cards->addStretch(1);
    layout->addLayout(cards);
    layout->addStretch(1);
    QWidget *footer = MakeFooter(m_home);
    auto *fl = new QHBoxLayout(footer);
    fl->setContentsMargins(40, 10, 14, 10);
    fl->setSpacing(8);
    fl->addWidget(note, 1);
    fl->addWidget(m_btnHelp);
    fl->addWidget(m_btnAbout);
    layout->addWidget(footer);

    setTabOrder(m_btnQuick, m_btnDeep);
    setTabOrder(m_btnDeep, m_btnHelp);
    setTabOrder(m_btnHelp, m_btnAbout);
    connect(m_btnQuick, &QPushButton::clicked, this, &MainWindow::OnQuickMod);
    connect(m_btnDeep, &QPushButton::clicked, this, &MainWindow::OnDeepMod);
    connect(m_btnHelp, &QPushButton::clicked, this, &MainWindow::OnBtnHelp);
    connect(m_btnAbout, &QPushButton::clicked, this, &MainWindow::OnBtnAbout);
}

void MainWindow::ShowWordDlg(int page)
{
    m_resultsShown = false;
    if (page < 0 || page > 3)
        return;
    m_page = page;
    switch (page) {
    case PageHome:
        m_stack->setCurrentWidget(m_home);
        m_btnQuick->setFocus();
        break;
    case PageDisk:
        m_disk->showForMod(m_mode);
        break;
    case PageScanning:
        m_resultsShown = true;
        m_scaning->SetScanAdapter(m_disk->scanAdapter());
        m_stack->setCurrentWidget(m_scaning);
        m_scaning->setBtnStatus(false, m_mode);
        m_scaning->setPercentage(1);
        m_scaning->SetShowModBtnCtrl(3);
        m_scaning->setTreeSelected(false);
        m_scaning->SetCtrlHeigth(false, true);
        break;
    case PageFinished:
        m_resultsShown = true;
        m_stack->setCurrentWidget(m_scaning);
        m_scaning->setBtnStatus(true, m_mode);
        m_scaning->setPercentage(100);
        m_scaning->SetCtrlHeigth(true, false);
        break;
    }
}

void MainWindow::OnQuickMod()
{
    m_mode = salvitra::RecoverQuick;
    m_disk->OnClickDelRadio();
    m_scaning->SetRecoverMod(m_mode);
    ShowWordDlg(PageDisk);
}

void MainWindow::OnDeepMod()
{
    m_mode = salvitra::RecoverDeep;
    m_scaning->SetRecoverMod(m_mode);
    m_disk->OnClickRadio();
    ShowWordDlg(PageDisk);
}

void MainWindow::OnGoHome()
{
    ShowWordDlg(PageHome);
}

void MainWindow::SetScanRecoverMod(RecoverMod mode)
{
    m_mode = mode;
    m_scaning->SetRecoverMod(mode);
}

void MainWindow::AcceptPartiton(Partiton_Struct *part)
{
    m_scaning->SetPartition(part);
}

void MainWindow::SetOptitionScan(QStringList types)
{
    m_scaning->setScanFileType(types, true);
}

void MainWindow::OnBtnScan()
{
    m_scaning->DeleteTreeInfo();
    m_scaning->InitTreeNode();
    m_scaning->SetRecoverMod(m_mode);
    m_scaning->setScanFileType(m_disk->getComFileType());
    ShowWordDlg(PageScanning);
}

void MainWindow::CreateFileTree(Partiton_Struct *part)
{
    m_scaning->SetPartition(part);
    m_scaning->CreateFileTree();
}

void MainWindow::OnScanFinish()
{
    ShowWordDlg(PageFinished);
}

void MainWindow::OnBtnBack()
{
    m_scaning->ResetPreview();
    m_scaning->DeleteTreeInfo();
    m_scaning->InitTreeNode();
    m_scaning->setScanType();
    m_disk->DeleteOptiton();
    m_disk->setOptitonScan(false);
    m_scaning->setCustomList(false);
    m_scaning->SetScanAdapter(nullptr);
    ShowWordDlg(PageDisk);
    set_ExportsData(false);
    m_disk->FreeModBlock(m_mode);
}

QString MainWindow::HelpPath()
{
    // <prefix>/share/salvitra/help beside <prefix>/bin, installed or built.
    return QDir::cleanPath(QImageWidget::GetApplicationPath() + "/../share/salvitra/help/index.html");
}

void MainWindow::OnBtnHelp()
{
    if (!m_help) {
        // A window of its own, not a child of this one: it stays open beside
        // the pages and is closed with them.
        m_help = new QHelpWindow(nullptr);
        m_help->load(HelpPath());
    }
    m_help->show();
    m_help->raise();
    m_help->activateWindow();
}

void MainWindow::OnBtnAbout()
{
    QMessageBox box(this);
    box.setWindowTitle("About Salvitra");
    box.setIconPixmap(QPixmap(":/images/icon_logo.png"));
    box.setText(QString("<h3>Salvitra %1</h3>").arg(QCoreApplication::applicationVersion()));
    box.setInformativeText("Finds deleted and lost files on memory cards, USB sticks, disks and disk images, "
                           "and copies them to a folder you choose. The scanned medium is only read.");
    box.exec();
}

void MainWindow::closeEvent(QCloseEvent *e)
{
    if (m_resultsShown) {
        QMessageDlg dlg(this);
        dlg.SetNoteText("Are you sure you want to exit?\nThe scan results will not be kept.");
        dlg.MsgSetBtn(MSG_BTN_EXIT);
        if (dlg.exec() != QMessageDlg::Confirmed) {
            e->ignore();
            return;
        }
    }
    saveGeometrySetting();
    if (m_help)
        m_help->close();
    e->accept();
}
