#include "mainwindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QMenuBar>
#include <QMessageBox>
#include <QUrl>

#include "dialogs.h"

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    setObjectName("MainWindow");
    setFixedSize(720, 476);
    setWindowIcon(QIcon(":/images/icon_logo.png"));
    setDocumentMode(true);

    auto *bar = new QMenuBar(this);
    bar->setObjectName("menuBar");
    QMenu *help = bar->addMenu("&Help");
    QAction *actHelp = help->addAction("Salvitra Help");
    actHelp->setObjectName("actionHelp");
    QAction *actAbout = help->addAction("About Salvitra");
    actAbout->setObjectName("actionAbout");
    setMenuBar(bar);
    connect(actHelp, &QAction::triggered, this, &MainWindow::OnBtnHelp);
    connect(actAbout, &QAction::triggered, this, &MainWindow::OnBtnAbout);

    auto *central = new QWidget(this);
    central->setObjectName("centralWidget");
    central->setFixedSize(720, 450);
    setCentralWidget(central);
    m_home = new QImageWidget(central);
    m_home->SetImageBackgroud(":/images/bg_main.png");

    InitBtnCtrl();

    // The pages are children of the window's central area; they connect
    // their signals to this window (their parent's parent) themselves.
    m_disk = new QDiskTreeDlg(this);
    m_disk->setParent(central);
    m_scaning = new QScaningDlg(this);
    m_scaning->setParent(central);
    m_disk->SetJobObserver(m_scaning);

    ShowWordDlg(PageHome);
    m_mode = salvitra::RecoverQuick;
}

MainWindow::~MainWindow()
{
    // The scan thread ends before the pages it reports to go away.
    m_disk->stop();
    m_scaning->stop();
}

void MainWindow::InitBtnCtrl()
{
    m_btnQuick = MakeImageButton(m_home, ":/images/btn_quick.png", 50, 138);
    m_btnDeep = MakeImageButton(m_home, ":/images/btn_deep.png", 370, 138);
    m_btnHelp = MakeImageButton(m_home, ":/images/btn_help.png", 524, 406);
    m_btnHelp->setToolTip("Help");
    m_btnAbout = MakeImageButton(m_home, ":/images/btn_about.png", 618, 406);
    m_btnAbout->setToolTip("About");
    connect(m_btnQuick, &QPushButton::clicked, this, &MainWindow::OnQuickMod);
    connect(m_btnDeep, &QPushButton::clicked, this, &MainWindow::OnDeepMod);
    connect(m_btnHelp, &QPushButton::clicked, this, &MainWindow::OnBtnHelp);
    connect(m_btnAbout, &QPushButton::clicked, this, &MainWindow::OnBtnAbout);
}

void MainWindow::ShowWordDlg(int page)
{
    m_disk->hide();
    m_scaning->hide();
    m_home->hide();
    m_resultsShown = false;
    if (page > 3)
        return;
    m_page = page;
    switch (page) {
    case PageHome:
        m_home->show();
        break;
    case PageDisk:
        m_disk->showForMod(m_mode);
        break;
    case PageScanning:
        m_resultsShown = true;
        m_scaning->SetScanThread(m_disk);
        m_scaning->SetScanJob(m_disk->job());
        m_scaning->progressTimer()->start(200);
        m_scaning->show();
        m_scaning->setBtnStatus(false, m_mode);
        m_scaning->setPercentage(1);
        m_scaning->SetShowModBtnCtrl(3);
        m_scaning->setTreeSelected(false);
        m_scaning->SetCtrlHeigth(false, true);
        break;
    case PageFinished:
        m_resultsShown = true;
        m_scaning->show();
        m_scaning->progressTimer()->stop();
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
    setWindowTitle("Salvitra for Mac");
}

void MainWindow::OnDeepMod()
{
    m_mode = salvitra::RecoverDeep;
    m_scaning->SetRecoverMod(m_mode);
    m_disk->OnClickRadio();
    ShowWordDlg(PageDisk);
    setWindowTitle("Salvitra for Mac");
}

void MainWindow::OnGoHome()
{
    setWindowTitle("Quorvane");
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
    const salvitra::DeviceInfo *d = m_disk->treeCtrl()->inventory().deviceOf(part);
    m_scaning->SetDevicePath(d ? QString::fromStdString(d->path) : QString());
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
    m_scaning->SetScanJob(nullptr);
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
    QString path = HelpPath();
    if (QFile::exists(path))
        QDesktopServices::openUrl(QUrl::fromLocalFile(path));
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
    if (!m_resultsShown) {
        e->accept();
        return;
    }
    auto *dlg = new QMessageDlg(this);
    dlg->SetNoteText("Are you sure you want to exit? \nIf so, the scanned result will not be saved.");
    dlg->MsgSetBtn(MSG_BTN_EXIT);
    int r = dlg->exec();
    dlg->deleteLater();
    if (r == QMessageDlg::Confirmed)
        e->accept();
    else
        e->ignore();
}
