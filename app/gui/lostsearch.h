// The device tree's search for lost volumes: the offer in a device's row,
// the progress with pause and stop while it runs (the job runs on its own
// thread; this object hands its reports to the interface thread), and the
// "Found volumes" group afterwards (treectrldlg.h, lostsearch.cpp).
#pragma once

#include <QObject>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QWidget>

#include <memory>

#include "volume_search.h"

// One search of one device, watched from the interface thread.
class QLostSearch : public QObject, public salvitra::JobObserver {
    Q_OBJECT
public:
    QLostSearch(salvitra::Inventory &inventory, int devNum, QObject *parent = nullptr);
    ~QLostSearch() override;

    salvitra::VolumeSearchJob &job() { return *m_job; }
    int devNum() const { return m_devNum; }
    bool paused() const { return m_paused; }
    void setPaused(bool on);

    // JobObserver, on the job's thread.
    void onProgress(const salvitra::Progress &p) override;
    void onFinished(const salvitra::Status &s) override;

signals:
    void progressed(int percent);
    void ended();

private:
    int m_devNum;
    bool m_paused = false;
    std::unique_ptr<salvitra::VolumeSearchJob> m_job;
};

// What a device row shows in its last column: the offer to search, or the
// running search with its progress, pause and stop.
class QLostSearchBar : public QWidget {
    Q_OBJECT
public:
    explicit QLostSearchBar(QWidget *parent = nullptr);
    // Shows the offer (search null) or the running search.
    void setSearch(QLostSearch *search);
    QPushButton *searchButton() const { return m_search; }
    QPushButton *pauseButton() const { return m_pause; }
    QPushButton *stopButton() const { return m_stop; }
    QProgressBar *progressBar() const { return m_progress; }

signals:
    void searchRequested();

private:
    void showPaused(bool paused);

    QPointer<QLostSearch> m_job;
    QPushButton *m_search;
    QProgressBar *m_progress;
    QPushButton *m_pause;
    QPushButton *m_stop;
};
