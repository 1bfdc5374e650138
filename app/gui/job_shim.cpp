// The stand-in scan job for drivers without job.h (see job_api.h).
#include "job_api.h"

#ifndef SALVITRA_GUI_JOBS

namespace salvitra {

void ScanJob::onFound(void *, SCAN_TYPE, void *context)
{
    static_cast<ScanJob *>(context)->gate();
}

Status ScanJob::run()
{
    if (!session_.supported()) {
        status_ = {StatusCode::NotSupported, ""};
        if (observer_)
            observer_->onFinished(status_);
        return status_;
    }
    if (!stop_) {
        scanning_ = true;
        AddFoundFileCallBack(&ScanJob::onFound, this);
        changeExportsData(0);
        if (stop_)
            set_ExportsData(false);
        session_.run();
        RemoveFoundFileCallback(this);
        scanning_ = false;
    }
    std::vector<FoundFile> batch(session_.files().begin(), session_.files().end());
    files_.assign(batch.begin(), batch.end());
    status_.code = stop_ ? StatusCode::Stopped : StatusCode::Done;
    if (observer_ && !batch.empty())
        observer_->onFiles(0, batch);
    if (observer_)
        observer_->onFinished(status_);
    return status_;
}

void ScanJob::stop()
{
    stop_ = true;
    resume();
    set_ExportsData(false);
}

void ScanJob::pause()
{
    std::lock_guard<std::mutex> lk(mu_);
    paused_ = true;
}

void ScanJob::resume()
{
    std::lock_guard<std::mutex> lk(mu_);
    paused_ = false;
    cv_.notify_all();
}

bool ScanJob::gate()
{
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait(lk, [&] { return !paused_ || stop_.load(); });
    return !stop_;
}

Status ScanJob::status() const
{
    return status_;
}

Progress ScanJob::progress() const
{
    Progress p;
    int v = get_ExportsData();
    // The stop holds: a scanner that starts after the stop clears the value.
    if (stop_ && scanning_ && v < 200)
        set_ExportsData(false);
    p.percent = v > 100 ? 100 : v < 0 ? 0 : v;
    p.files = files_.size();
    return p;
}

WriteResult ScanJob::write(const FoundFile &file, const std::string &path, WriteStats &stats)
{
    ScanBackend *b = session_.backend();
    return b ? b->write(file, path, stats) : WriteResult::NoRecord;
}

}  // namespace salvitra

#endif
