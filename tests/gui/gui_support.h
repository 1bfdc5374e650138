// Helpers of the window's tests.
#pragma once

#include <QString>
#include <QWidget>

#include <functional>
#include <string>

// Answers the next modal dialog that opens (within timeoutMs) with fn,
// run on the interface thread while the dialog's own loop spins.
// Only a dialog of class className counts when one is named.
void answerNextModal(const std::function<void(QWidget *)> &fn, int timeoutMs = 5000,
                     const char *className = nullptr);

// Spins the event loop until cond holds; false when it did not within
// timeoutMs, or two minutes if that is longer (a hang, not a slow machine).
bool waitUntil(const std::function<bool()> &cond, int timeoutMs);

// A stand-in folder (SALVITRA_DISK_DIR) whose entries disk0.. link to the
// given images; restores the variable when it goes.
class DiskFolder {
public:
    DiskFolder();
    ~DiskFolder();
    void link(int n, const std::string &image);
    void unlink(int n);
    const std::string &path() const { return path_; }

private:
    std::string path_;
    QByteArray old_;
    bool hadOld_;
};

std::string sha256File(const std::string &path);
