#include "gui_support.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdlib>
#include <unistd.h>

#include "test_support.h"

void answerNextModal(const std::function<void(QWidget *)> &fn, int timeoutMs, const char *className)
{
    auto *timer = new QTimer;
    auto *clock = new QElapsedTimer;
    clock->start();
    QObject::connect(timer, &QTimer::timeout, [timer, clock, fn, timeoutMs, className] {
        QWidget *w = QApplication::activeModalWidget();
        if (w && (!w->inherits("QDialog") || (className && !w->inherits(className))))
            w = nullptr;
        if (w || clock->elapsed() > timeoutMs) {
            timer->stop();
            timer->deleteLater();
            delete clock;
            if (w)
                fn(w);
        }
    });
    timer->start(20);
}

bool waitUntil(const std::function<bool()> &cond, int timeoutMs)
{
    // The deadline only catches a hang: a busy machine may take far longer
    // than the caller's guess.
    timeoutMs = std::max(timeoutMs, 120000);
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QTest::qWait(10);
    }
    return true;
}

DiskFolder::DiskFolder()
{
    char tmpl[] = "/tmp/sv-gui-disks-XXXXXX";
    path_ = mkdtemp(tmpl);
    hadOld_ = qEnvironmentVariableIsSet("SALVITRA_DISK_DIR");
    old_ = qgetenv("SALVITRA_DISK_DIR");
    qputenv("SALVITRA_DISK_DIR", QByteArray::fromStdString(path_));
}

DiskFolder::~DiskFolder()
{
    svt::run("rm -rf " + svt::shellQuote(path_));
    if (hadOld_)
        qputenv("SALVITRA_DISK_DIR", old_);
    else
        qunsetenv("SALVITRA_DISK_DIR");
}

void DiskFolder::link(int n, const std::string &image)
{
    std::string entry = path_ + "/disk" + std::to_string(n);
    ::unlink(entry.c_str());
    if (symlink(image.c_str(), entry.c_str()) != 0)
        perror("symlink");
}

void DiskFolder::unlink(int n)
{
    std::string entry = path_ + "/disk" + std::to_string(n);
    ::unlink(entry.c_str());
}

std::string sha256File(const std::string &path)
{
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QCryptographicHash::hash(f.readAll(), QCryptographicHash::Sha256).toHex().toStdString();
}
