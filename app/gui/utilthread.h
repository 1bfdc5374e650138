// The window's side of a scan job: one bridge per job.
//
// QScanAdapter owns the driver's ScanJob from the scan's start to the
// release of its results.  The job runs on its own threads (job.start(),
// as the command line drives it); the adapter turns the job's observer
// calls into queued signals that never block the job, and coalesces them:
// a signal that is still waiting to be delivered is not queued again.
// Pause and stop go to the job, once each.
//
// Nothing that reads the medium runs on the interface thread.  The
// recovery is a writes phase of the job on the job's thread (as the command
// line drives it); copies for the thumbnails and the preview are made in
// order on the adapter's medium thread, never while the writes run (the
// scanner libraries read through one call sequence at a time).  Copies
// asked for by a view are cancelled as a whole (cancelViews) when the view
// no longer wants them.
#pragma once

#include <QImage>
#include <QObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "job_api.h"
#include "output_dir.h"
#include "recover.h"
#include "result_tree.h"
#include "view_files.h"

class QMediumWorker;

class QScanAdapter : public QObject, public salvitra::JobObserver {
    Q_OBJECT
public:
    // The job for req, not started; this adapter is its observer.
    explicit QScanAdapter(const salvitra::ScanRequest &req, QObject *parent = nullptr);
    // Stops what runs (the scan, a recovery, copies), waits for the job's
    // threads and the medium thread, removes the view copies and releases
    // the job's records.  Observer calls never wait for this thread, so the
    // wait always ends.
    ~QScanAdapter() override;

    salvitra::ScanJob *job() const { return m_jobp; }

    // ---- the scan ----
    bool start();
    bool scanFinished() const { return m_scanEnded.load(); }
    // Files the store held at the last filesFound.
    uint64_t filesKnown() const { return m_files.load(); }

    // ---- control (interface thread) ----
    // Each goes to the job once: a second pause while paused, or a second
    // stop of the same phase, does nothing.
    void pause();
    void resume();
    void stop();
    bool isPaused() const { return m_paused; }

    // ---- after the scan ----
    // Writes the jobs as one recovery phase of the job into outDir (opened
    // and checked in output when given); false while a recovery runs or the
    // scan has not ended.  recoveryFile and recoveryFinished report it.
    bool startRecovery(std::vector<salvitra::RecoveryJob> jobs, const QString &outDir,
                       std::shared_ptr<salvitra::OutputDir> output = nullptr);
    bool recovering() const { return m_recovering.load(); }
    // The last recovery's outcome (valid once recoveryFinished came).
    salvitra::RecoverSummary lastRecovery() const;

    // A copy of file index for a view, decoded to at most decodeSide pixels
    // on its longer side (0: not decoded, the path only).  viewExtracted
    // answers with the generation the request was made in; a request of an
    // older generation than the current one is dropped unread.
    void requestView(uint64_t fileIndex, salvitra::ViewFolder folder, int decodeSide);
    // Every request made so far is dropped; returns the new generation.
    uint64_t cancelViews();
    uint64_t viewGeneration() const { return m_generation.load(); }
    // Empties the thumbnails' folder (on the medium thread, in order).
    void clearViews(salvitra::ViewFolder folder);
    // For tests: copies started; a marker that comes back (as idle()) once
    // everything asked for before it has been done or dropped; any work on
    // the medium thread, in turn with the rest.
    uint64_t viewsStarted() const;
    void markIdle();
    void runOnMediumThread(std::function<void()> work);

signals:
    void filesFound(quint64 count);
    void progressed();
    void scanEnded();
    void recoveryFile(quint64 index, quint64 count, const QString &relPath);
    void recoveryFinished();
    void viewExtracted(quint64 generation, quint64 fileIndex, int folder, const QString &path, const QImage &picture);
    void idle();

private:
    // JobObserver, on the job's threads: no waiting here.
    void onFiles(uint64_t first, std::vector<salvitra::FoundFile> batch) override;
    void onProgress(const salvitra::Progress &p) override;
    void onFinished(const salvitra::Status &s) override;

    std::unique_ptr<salvitra::ScanJob> m_job;
    salvitra::ScanJob *m_jobp = nullptr;  // the same job, for every thread, until the end
    QThread m_mediumThread;
    QMediumWorker *m_worker = nullptr;
    std::atomic<uint64_t> m_files{0};
    std::atomic<bool> m_filesPosted{false};
    std::atomic<bool> m_progressPosted{false};
    std::atomic<bool> m_scanEnded{false};
    std::atomic<bool> m_recovering{false};
    std::atomic<uint64_t> m_generation{1};
    bool m_paused = false;
    bool m_stopSent = false;
    mutable std::mutex m_summaryMu;
    salvitra::RecoverSummary m_summary;
};

// The adapter's worker on the medium thread: view copies, one after the
// other, only while the job is between its phases.
class QMediumWorker : public QObject {
    Q_OBJECT
public:
    QMediumWorker(salvitra::ScanJob *job, const std::atomic<uint64_t> *generation)
        : m_job(job), m_generation(generation)
    {
    }
    uint64_t started() const { return m_started.load(); }
    // After the thread has ended: the copies go.
    void releaseViews() { m_views.release(); }

public slots:
    void extract(quint64 generation, quint64 fileIndex, int folder, int decodeSide);
    void clear(int folder);

signals:
    void extracted(quint64 generation, quint64 fileIndex, int folder, const QString &path, const QImage &picture);

private:
    salvitra::ScanJob *m_job;
    const std::atomic<uint64_t> *m_generation;
    salvitra::ViewFiles m_views;
    std::atomic<uint64_t> m_started{0};
};
