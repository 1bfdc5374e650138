#include "utilthread.h"

#include <QImageReader>

#include <future>

#include "previewimagectrl.h"

using namespace salvitra;

// ---- QScanAdapter ----

QScanAdapter::QScanAdapter(const ScanRequest &req, QObject *parent) : QObject(parent)
{
    m_job = std::make_unique<ScanJob>(req, this);
    m_jobp = m_job.get();
    m_worker = new QMediumWorker(m_jobp, &m_generation);
    m_worker->moveToThread(&m_mediumThread);
    connect(&m_mediumThread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &QMediumWorker::extracted, this, &QScanAdapter::viewExtracted, Qt::QueuedConnection);
    m_mediumThread.setObjectName("medium");
    m_mediumThread.start();
}

QScanAdapter::~QScanAdapter()
{
    cancelViews();
    m_jobp->stop();
    // The scan or the writes end (within one chunk); the observer calls
    // they make only post events, and the writes wait for nothing but the
    // medium thread, which still runs.
    m_jobp->wait();
    // The medium thread ends the copy it holds and drops the rest.
    QMediumWorker *worker = m_worker;
    QMetaObject::invokeMethod(worker, [worker] { worker->releaseViews(); }, Qt::QueuedConnection);
    m_mediumThread.quit();
    m_mediumThread.wait();
    m_job.reset();  // releases the library's records
}

bool QScanAdapter::start()
{
    return m_jobp->start();
}

void QScanAdapter::pause()
{
    if (m_paused)
        return;
    m_paused = true;
    m_jobp->pause();
}

void QScanAdapter::resume()
{
    if (!m_paused)
        return;
    m_paused = false;
    m_jobp->resume();
}

void QScanAdapter::stop()
{
    if (m_stopSent)
        return;
    m_stopSent = true;
    // A stop releases a pause: the job knows it, and so does this side.
    m_paused = false;
    // Only what runs: a stop asked for while the scan was ending is not
    // kept for a recovery started later.
    m_jobp->stopIfRunning();
}

void QScanAdapter::onFiles(uint64_t first, std::vector<FoundFile> batch)
{
    // The batch is not carried over: the page reads the job's store.
    m_files.store(first + batch.size());
    if (!m_filesPosted.exchange(true))
        QMetaObject::invokeMethod(this, [this] {
            m_filesPosted = false;
            emit filesFound(m_files.load());
        }, Qt::QueuedConnection);
}

void QScanAdapter::onProgress(const Progress &)
{
    if (!m_progressPosted.exchange(true))
        QMetaObject::invokeMethod(this, [this] {
            m_progressPosted = false;
            emit progressed();
        }, Qt::QueuedConnection);
}

void QScanAdapter::onFinished(const Status &)
{
    // The end of a recovery is told by the recovery itself, with its
    // outcome; this is the scan's.
    if (m_scanEnded.exchange(true))
        return;
    m_files.store(m_jobp->fileCount());
    QMetaObject::invokeMethod(this, [this] {
        emit filesFound(m_files.load());
        emit scanEnded();
    }, Qt::QueuedConnection);
}

bool QScanAdapter::startRecovery(std::vector<RecoveryJob> jobs, const QString &outDir,
                                 std::shared_ptr<OutputDir> output)
{
    if (!m_scanEnded.load() || m_recovering.exchange(true))
        return false;
    cancelViews();  // a copy already running ends first; the others are dropped
    m_stopSent = false;
    {
        std::lock_guard<std::mutex> l(m_summaryMu);
        m_summary = RecoverSummary{};
    }
    ScanJob *job = m_jobp;
    QMediumWorker *worker = m_worker;
    const std::string dir = outDir.toStdString();
    // The writes are a phase of the job, opened here: a stop or pause from
    // now on is theirs.  They run on the job's thread, as the command
    // line's, once the medium thread has ended the copy it may hold (the
    // library reads one call sequence at a time; later copies wait, as the
    // job is then not finished).
    const bool started = job->startWrites([this, job, worker, dir, jobs = std::move(jobs), output] {
        std::promise<void> quiet;
        std::future<void> done = quiet.get_future();
        QMetaObject::invokeMethod(worker, [&quiet] { quiet.set_value(); }, Qt::QueuedConnection);
        done.wait();
        RecoverSummary s = recoverJobs(*job, jobs, dir, [this](size_t i, size_t n, const std::string &rel) {
            emit recoveryFile(i, n, QString::fromStdString(rel));
        }, output.get());
        {
            std::lock_guard<std::mutex> l(m_summaryMu);
            m_summary = std::move(s);
        }
        QMetaObject::invokeMethod(this, [this] {
            m_recovering = false;
            emit recoveryFinished();
        }, Qt::QueuedConnection);
    });
    if (!started)
        m_recovering = false;
    return started;
}

RecoverSummary QScanAdapter::lastRecovery() const
{
    std::lock_guard<std::mutex> l(m_summaryMu);
    return m_summary;
}

void QScanAdapter::requestView(uint64_t fileIndex, ViewFolder folder, int decodeSide)
{
    const quint64 generation = m_generation.load();
    QMetaObject::invokeMethod(m_worker, "extract", Qt::QueuedConnection, Q_ARG(quint64, generation),
                              Q_ARG(quint64, fileIndex), Q_ARG(int, (int)folder), Q_ARG(int, decodeSide));
}

uint64_t QScanAdapter::cancelViews()
{
    return ++m_generation;
}

void QScanAdapter::clearViews(ViewFolder folder)
{
    QMetaObject::invokeMethod(m_worker, "clear", Qt::QueuedConnection, Q_ARG(int, (int)folder));
}

uint64_t QScanAdapter::viewsStarted() const
{
    return m_worker->started();
}

void QScanAdapter::runOnMediumThread(std::function<void()> work)
{
    QMetaObject::invokeMethod(m_worker, [work = std::move(work)] { work(); }, Qt::QueuedConnection);
}

void QScanAdapter::markIdle()
{
    QMetaObject::invokeMethod(m_worker, [this] {
        QMetaObject::invokeMethod(this, [this] { emit idle(); }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}

// ---- QMediumWorker ----

void QMediumWorker::extract(quint64 generation, quint64 fileIndex, int folder, int decodeSide)
{
    // Asked for by a view that has gone since: not read at all.
    if (generation != m_generation->load())
        return;
    const std::deque<FoundFile> &files = m_job->files();
    if (m_job->state() != JobState::Finished || fileIndex >= files.size())
        return;
    m_started++;
    const std::string path =
        m_views.extract(*m_job, files[fileIndex], (uint32_t)fileIndex, (ViewFolder)folder);
    const QString qpath = QString::fromStdString(path);
    QImage picture;
    if (!path.empty() && decodeSide > 0) {
        QImageReader reader(qpath);
        reader.setAutoTransform(true);
        const QSize size = reader.size();
        if (size.isValid() && (size.width() > decodeSide || size.height() > decodeSide))
            reader.setScaledSize(size.scaled(decodeSide, decodeSide, Qt::KeepAspectRatio));
        picture = reader.read();
    } else if (!path.empty() && !QPreviewImageCtrl::IsImage(qpath)) {
        // The preview takes a path; one that holds no picture is said so.
        emit extracted(generation, fileIndex, folder, QString(), QImage());
        return;
    }
    emit extracted(generation, fileIndex, folder, path.empty() ? QString() : qpath, picture);
}

void QMediumWorker::clear(int folder)
{
    m_views.clear((ViewFolder)folder);
}
