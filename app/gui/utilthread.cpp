#include "utilthread.h"

#include <QCoreApplication>
#include <QThread>

#include <signal.h>

QUtilThread::QUtilThread()
{
    pthread_mutex_init(&m_pauseMutex, nullptr);
    pthread_cond_init(&m_pauseCond, nullptr);
}

QUtilThread::~QUtilThread()
{
    stop();
    pthread_mutex_destroy(&m_pauseMutex);
    pthread_cond_destroy(&m_pauseCond);
}

void *QUtilThread::ThreadProc(void *arg)
{
    if (!arg)
        return nullptr;
    auto *self = static_cast<QUtilThread *>(arg);
    self->OnExecute();
    self->m_running = false;
    return nullptr;
}

bool QUtilThread::Start()
{
    if (m_started)
        stop();
    m_stopRequested = false;
    m_running = true;
    if (pthread_create(&m_thread, nullptr, &QUtilThread::ThreadProc, this) != 0) {
        m_running = false;
        return false;
    }
    m_started = true;
    return true;
}

void QUtilThread::RequestStop()
{
    m_stopRequested = true;
    SetPause(false);
    OnStopRequested();
}

bool QUtilThread::stop()
{
    RequestStop();
    if (!m_started)
        return true;
    // Serve the interface thread while the worker finishes: it may wait in
    // a blocking queued signal.  Events are processed here and nowhere else.
    while (m_running.load()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::usleep(1000);
    }
    // The thread body has returned; join instead of detaching so the
    // thread's resources are gone before the object can be destroyed.
    pthread_join(m_thread, nullptr);
    m_started = false;
    return true;
}

void QUtilThread::Wait()
{
    while (m_started && m_running.load()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::usleep(1000);
    }
}

bool QUtilThread::PassGate()
{
    pthread_mutex_lock(&m_pauseMutex);
    while (m_bPause && !m_stopRequested.load())
        pthread_cond_wait(&m_pauseCond, &m_pauseMutex);
    pthread_mutex_unlock(&m_pauseMutex);
    return m_stopRequested.load();
}

void QUtilThread::SetPause(bool on)
{
    pthread_mutex_lock(&m_pauseMutex);
    m_bPause = on;
    if (!on)
        pthread_cond_broadcast(&m_pauseCond);
    pthread_mutex_unlock(&m_pauseMutex);
    OnPauseChanged(on);
}

bool QUtilThread::IsPaused()
{
    pthread_mutex_lock(&m_pauseMutex);
    bool on = m_bPause;
    pthread_mutex_unlock(&m_pauseMutex);
    return on;
}

// ---- QScanAdapter ----

QScanAdapter::QScanAdapter(IScanCallBack *callback, QObject *parent) : QObject(parent), m_callback(callback)
{
    connect(this, &QScanAdapter::RefreshTree, this, &QScanAdapter::OnRefreshTree, Qt::BlockingQueuedConnection);
    connect(this, &QScanAdapter::RefreshDelNTFSTree, this, &QScanAdapter::OnRefreshDelNTFSTree,
            Qt::BlockingQueuedConnection);
}

void QScanAdapter::DoRefreshTree(void *record, int type)
{
    if (type == 1)
        emit RefreshDelNTFSTree(record);
    else if (type == 0)
        emit RefreshTree(record);
}

void QScanAdapter::OnRefreshTree(void *record)
{
    if (m_callback)
        m_callback->OnRefresh(record);
}

void QScanAdapter::OnRefreshDelNTFSTree(void *record)
{
    if (m_callback)
        m_callback->OnDelNtfsRefresh(record);
}
