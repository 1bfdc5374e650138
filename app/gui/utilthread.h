// The worker-thread base shared by the scan (disk page) and the recovery
// (scanning page), and the adapter that hands found files to the interface
// thread.
#pragma once

#include <QObject>

#include <pthread.h>

#include <atomic>

// One POSIX thread running OnExecute(), a stop request and a pause gate.
//
// The stop request is an atomic flag with the meaning of the run lock: it
// is raised by stop() and polled by the worker between items (IsStopped()).
class QUtilThread {
public:
    QUtilThread();
    virtual ~QUtilThread();
    QUtilThread(const QUtilThread &) = delete;
    QUtilThread &operator=(const QUtilThread &) = delete;

    virtual void OnExecute() = 0;

    static void *ThreadProc(void *arg);

    // Ends a previous run, then starts OnExecute() on a new thread.
    bool Start();
    // Releases a paused worker, requests the stop and waits for the thread
    // to end while serving interface events (the worker may be blocked in a
    // blocking queued signal that only the interface thread can serve).
    bool stop();
    // Waits for the run to end by itself, serving interface events.
    void Wait();

    // Worker side: wait while paused; then true when a stop was requested.
    bool PassGate();
    bool IsStopped() const { return m_stopRequested.load(); }
    bool IsRunning() const { return m_running.load(); }

    void SetPause(bool on);
    bool IsPaused();

    // Asks the running work to stop without waiting for it (the scan's
    // stop button); stop() is the waiting form.
    void RequestStop();

    // Hooks for a derived class whose work is a driver job: the pause and
    // the stop reach the job, and the progress comes from it (-1: none).
    virtual void OnStopRequested() {}
    virtual void OnPauseChanged(bool paused) { (void)paused; }
    virtual int ProgressValue() { return -1; }

    // Locks and condition of the pause gate (used by the scanning page).
    pthread_t m_thread{};
    bool m_bPause = false;
    pthread_mutex_t m_pauseMutex;
    pthread_cond_t m_pauseCond;

private:
    bool m_started = false;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_running{false};
};

// The scanning page's interface for files found while a scan runs.
class IScanCallBack {
public:
    virtual ~IScanCallBack() = default;
    virtual void OnRefresh(void *record) = 0;
    virtual void OnDelNtfsRefresh(void *record) = 0;
};

// Turns a found-file callback on the scanning thread into a blocking queued
// signal, so the record is fully handled on the interface thread before the
// scanner goes on.  Must never be called on the interface thread.
class QScanAdapter : public QObject {
    Q_OBJECT
public:
    QScanAdapter(IScanCallBack *callback, QObject *parent);
    void DoRefreshTree(void *record, int type);

signals:
    void RefreshTree(void *record);
    void RefreshDelNTFSTree(void *record);

public slots:
    void OnRefreshTree(void *record);
    void OnRefreshDelNTFSTree(void *record);

private:
    IScanCallBack *m_callback;
};
