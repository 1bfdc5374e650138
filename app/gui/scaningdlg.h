// The scanning page: progress, pause, continue and stop while a scan runs;
// the found files once it has finished, as a tree (all files, groups, file
// types), a table of the selected type's files, thumbnails and a preview;
// and the recovery of the ticked files into a folder the user chooses.
//
// What the tree and the table show comes from the driver's result model
// (salvitra::ResultTree): the widgets mirror it, and ticks made in them go
// back to it through the slots below.
#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>

#include <deque>
#include <memory>
#include <vector>

#include "job_api.h"
#include "result_tree.h"
#include "skin.h"
#include "utilthread.h"
#include "view_files.h"

class QProgressDlg;
class QPreviewImageCtrl;
class QPagedThumbViewer;

class QScaningDlg : public QImageDialog {
    Q_OBJECT
public:
    // What the preview shows.
    enum PreviewState { PreviewAvailable = 0, PreviewNotAvailable = 1, PreviewShown = 2, PreviewCorrupted = 3 };

    // The question asked before recovering onto the scanned medium.
    static const char *const kSameMediumNote;

    explicit QScaningDlg(QWidget *parent);
    ~QScaningDlg() override;

    // ---- Scanning-page operations the main window drives ----
    // The scan the page shows (its job's adapter, owned by the disk page):
    // found files, progress, pause and stop, recovery and view copies go
    // through it.  Null when there is none.
    void SetScanAdapter(QScanAdapter *scan);
    QScanAdapter *scanAdapter() const { return m_scan; }
    salvitra::ScanJob *job() const;
    void SetRecoverMod(salvitra::RecoverMod mode) { m_mode = mode; }
    void SetPartition(Partiton_Struct *part);
    void SetFsType(int type) { m_fsType = type; }
    void setBtnStatus(bool finished, salvitra::RecoverMod mode);
    void setPercentage(int n);
    void SetShowModBtnCtrl(int mode);
    void SetCtrlHeigth(bool tall, bool keepBackground);
    // The groups wanted for the scan about to start, from the disk page's
    // "Filter Option:" choice (a deep scan shows every group).
    void setScanFileType(int filterChoice);
    // The extensions picked on the options page; custom when the scan was
    // started from there.
    void setScanFileType(const QStringList &types, bool custom);
    void setCustomList(bool on);
    void setTreeSelected(bool on) { m_treeSelected = on; }
    void CreateFileTree();
    void ResetPreview();
    void DeleteTreeInfo();
    void DeleteTableNote();
    void InitTreeNode();
    void setScanType();
    void ableThumbnail(bool on);
    // The progress as the scanning state shows it (bar, percentage, line).
    void showProgress(const salvitra::Progress &p);

    // Pause and continue of what the job runs (the scan or a recovery).
    void SetPause(bool on);
    bool IsPaused() const;
    // A recovery runs.
    bool IsRunning() const;

    // For tests, scripts and the window.
    bool isUserPaused() const { return m_userPaused; }
    // Files in the job's store; the store itself once the scan has ended.
    int foundCount() const;
    const std::deque<salvitra::FoundFile> &foundFiles() const;
    uint64_t placedFiles() const { return m_placed; }
    const salvitra::ResultTree &model() const { return m_model; }
    int showMode() const { return m_showMode; }
    int previewState() const { return m_previewState; }
    bool isTall() const { return m_tall; }
    QString percentText() const { return m_percent->text(); }
    QString statusText() const { return m_statusLabel->text(); }
    QImageButton *pauseButton() const { return m_btnPause; }
    QImageButton *continueButton() const { return m_btnContinue; }
    QImageButton *stopButton() const { return m_btnStop; }
    QImageButton *backButton() const { return m_btnBack; }
    QImageButton *recoverButton() const { return m_btnRecover; }
    QImageButton *viewButton(int i) const { return m_btnView[i]; }
    QImageButton *plusButton() const { return m_btnPlus; }
    QImageButton *minusButton() const { return m_btnMinus; }
    QProgressBar *progressBar() const { return m_progress; }
    QTableWidget *table() const { return m_table; }
    QCheckHeaderView *tableHeader() const { return m_header; }
    QTreeWidget *tree() const { return m_tree; }
    QLineEdit *nameSearch() const { return m_nameSearch; }
    QCheckBox *goodOnlyBox() const { return m_goodOnly; }
    QLineEdit *sizeSearch() const { return m_sizeEdit; }
    QComboBox *sizeCompare() const { return m_sizeCmp; }
    QComboBox *sizeUnit() const { return m_sizeUnit; }
    QPreviewImageCtrl *previewCtrl() const { return m_previewCtrl; }
    QPagedThumbViewer *thumbViewer() const { return m_thumbs; }
    // The tree item of a group ("Photo") or of a type under it ("Photo",
    // "jpg"); null when there is none.
    QTreeWidgetItem *treeItem(const QString &group, const QString &type = QString()) const;
    // Recovers the files (indexes into foundFiles()) straight into dir,
    // without asking; a folder on the scanned medium is refused.
    bool RecoverTo(const QString &dir, const std::vector<int> &files, QString *err);
    // The last recovery's outcome (once it has ended).
    salvitra::RecoverSummary lastRecovery() const { return m_scan ? m_scan->lastRecovery() : m_summary; }
    QString lastRecoveryFolder() const { return m_outDir; }

    QLabel *progressCaption() const { return m_procLabel; }
    QLabel *statusLabel() const { return m_statusLabel; }
    QWidget *searchRow() const { return m_searchRow; }
    // The text the status line gives once the scan has ended.
    QString finishedText() const;

signals:
    void OnBack();
    void OnBtnStopToScanning();
    // Emitted on the recovery thread; queued to the page's dialog.
    void SetProValue(int value);

public slots:
    void OnPause();
    // A deep scan's results: only the files that will come back whole.
    void OnGoodOnly(bool on);
    void OnContinue();
    void OnStopScanThreed();
    void OnProgress();
    void OnFilesFound(quint64 count);
    void OnViewExtracted(quint64 generation, quint64 fileIndex, int folder, const QString &path,
                         const QImage &picture);
    void OnGoBack();
    void OnRecover();
    void OnThumbnailMod();
    void OnListMod();
    void OnListPreviewMod();
    void OnSpinPreviewMod();
    void OnBtnPlus();
    void OnBtnMinus();
    void OnSetShowPhoto();
    void OnChangedTreeItem();
    void OnNMClickTreeItem(QTreeWidgetItem *item, int column);
    void OnClickTree(QTreeWidgetItem *item, int column);
    void OnNMChangeTableItem(QTableWidgetItem *item);
    void OnChangeTableWidgetItemCheck(bool checked);
    void OnTableItemChanged(int row, bool checked);
    void editTextChange(const QString &text);
    void editSizeChangeFind(const QString &text);
    void SelectItemChanged();
    void RecoverDoneOponPath();

private:
    void SetSearchCtrlShow(bool on);
    void setBgImage();
    void ensureModel();
    salvitra::FileView fileView() const;
    // Places the store's files up to count in the model and the tree.
    void placeFiles(uint64_t count);
    salvitra::NodeRef currentNode() const;
    void showRows(std::vector<salvitra::TableRow> rows);
    // The rows of the table's node that the name or size search keeps.
    std::vector<salvitra::TableRow> searchedRows() const;
    void refreshRows();
    void afterRowTicks();
    void ShowThumbnailMod();
    bool canExtract() const;
    QString askDestination();
    bool startRecovery(const QString &dir, std::vector<salvitra::RecoveryJob> jobs,
                       std::shared_ptr<salvitra::OutputDir> output);
    void warn(const QString &text);

    QPointer<QScanAdapter> m_scan;
    bool m_userPaused = false;
    salvitra::RecoverMod m_mode = salvitra::RecoverQuick;
    Partiton_Struct *m_part = nullptr;
    int m_fsType = 0;
    bool m_tall = true;
    bool m_finished = false;
    bool m_treeSelected = false;
    bool m_thumbAllowed = false;
    int m_showMode = 3;
    int m_previewState = PreviewAvailable;

    QImageButton *m_btnBack;
    QImageButton *m_btnRecover;
    QImageButton *m_btnPause;
    QImageButton *m_btnContinue;
    QImageButton *m_btnStop;
    QImageButton *m_btnView[4];
    QImageButton *m_btnPlus;
    QImageButton *m_btnMinus;
    QWidget *m_progressBox;
    QWidget *m_searchRow;
    QLabel *m_procLabel;
    QLabel *m_percent;
    QProgressBar *m_progress;
    QLabel *m_statusLabel;
    QCheckBox *m_goodOnly;
    QLineEdit *m_nameSearch;
    QLabel *m_sizeLabel;
    QComboBox *m_sizeCmp;
    QLineEdit *m_sizeEdit;
    QComboBox *m_sizeUnit;
    QTreeWidget *m_tree;
    QTableWidget *m_table;
    QCheckHeaderView *m_header;
    QPreviewImageCtrl *m_previewCtrl;
    QPagedThumbViewer *m_thumbs;

    // The model of the found files: file i is file i of the job's store;
    // the first m_placed of them are placed.  While a scan runs, a table is
    // built from a copy of those (m_scratch), let go with the next.
    uint64_t m_placed = 0;
    uint64_t m_filesAnnounced = 0;
    QTimer m_placeTimer;
    mutable std::vector<salvitra::FoundFile> m_scratch;
    salvitra::GroupFilter m_filter;
    salvitra::ResultTree m_model;
    bool m_modelReady = false;
    // The table: the type node it shows and its rows, in table order.
    salvitra::NodeRef m_tableNode{-2, -1};
    size_t m_tableAll = 0;  // files under the table's node, searched or not
    std::vector<salvitra::TableRow> m_rows;
    qint64 m_previewFile = -1;  // the file the preview waits for

    // Recovery.
    QString m_outDir;
    size_t m_recoverCount = 0;
    QPointer<QProgressDlg> m_progressDlg;
    salvitra::RecoverSummary m_summary;
};
