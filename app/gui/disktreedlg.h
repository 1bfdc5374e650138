// The disk page: pick a partition and a kind of scan, start it, and own
// the scan (its job, through the job's adapter) until the user leaves the
// results.
#pragma once

#include <QCheckBox>
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QPointer>
#include <QRadioButton>
#include <QStringList>

#include <memory>

#include "job_api.h"
#include "skin.h"
#include "treectrldlg.h"
#include "utilthread.h"

using salvitra::RecoverMod;
Q_DECLARE_METATYPE(salvitra::RecoverMod)

#include "optitondlg.h"

class QDiskTreeDlg : public QImageDialog {
    Q_OBJECT
public:
    explicit QDiskTreeDlg(QWidget *parent);
    ~QDiskTreeDlg() override;

    int getComFileType() const { return m_filter->currentIndex(); }
    // Quick mode: search the volume that was there before a format.
    QCheckBox *formattedBox() const { return m_formatted; }
    void showForMod(RecoverMod mode);
    void DeleteOptiton();
    void FreeModBlock(RecoverMod mode);

    // The scan of this page visit (null before the first and after the
    // results were released).
    QScanAdapter *scanAdapter() const { return m_scan.get(); }
    salvitra::ScanJob *job() const { return m_scan ? m_scan->job() : nullptr; }
    // Asks the scan to stop; stop() also waits for its end.
    void RequestStop();
    void stop();

    // Clearing the option-scan flag also forgets the kinds picked with it.
    void setOptitonScan(bool on)
    {
        m_rangeFlag = on;
        if (!on)
            m_types.clear();
    }
    QStringList pickedTypes() const { return m_types; }
    bool rangeFlag() const { return m_rangeFlag; }
    RecoverMod scanMode() const { return m_mode; }
    const Partiton_Struct &rangeCopy() const { return m_rangeCopy; }
    QTreeCtrlDlg *treeCtrl() const { return m_tree; }
    QOptitonDlg *optiton() const { return m_optiton; }
    QImageButton *scanButton() const { return m_btnScan; }
    QImageButton *optionsButton() const { return m_btnOptiton; }
    QImageButton *openImageButton() const { return m_btnOpenImage; }
    QImageButton *saveImageButton() const { return m_btnSaveImage; }
    // The row's "Save Disk Image..." action (also in its context menu).
    QAction *saveImageAction() const { return m_actSaveImage; }
    // The record a disk image would be made of: the selected partition or
    // whole-device row, or the whole device of a selected device row.
    Partiton_Struct *ImageTarget(QString *what = nullptr) const;
    QRadioButton *allRadio() const { return m_radioAll; }
    QRadioButton *delRadio() const { return m_radioDel; }
    // Sector size of the device a partition record reads through.
    int sectorSizeOf(const Partiton_Struct *part) const;
    QString hintText() const { return m_hintLabel->text(); }
    QString titleText() const { return m_title->text(); }
    QImageButton *homeButton() const { return m_btnHome; }
    QComboBox *filterList() const { return m_filter; }

signals:
    void SetRecoverMod(RecoverMod mode);
    void SetOptitionScan(QStringList types);
    void SendPartitInfo(Partiton_Struct *part);
    void OnScanFinish();
    void CreateFileTree(Partiton_Struct *part);
    void OnBtnScan();

public slots:
    void OnScan();
    void OnBtnOptiton();
    void GetOptitonValue(unsigned long long start, unsigned long long end);
    void OnOptitonScan(QStringList types);
    void OnClickDelRadio();
    void OnClickAllRadio();
    void OnClickRadio();
    void SetBtnAble(bool on);
    void OnOpenDiskImage();
    void OnSaveDiskImage();
    // Copies part into outPath (its map beside it) with the progress
    // dialog; the finished image is then listed as one more device.
    void SaveDiskImage(Partiton_Struct *part, const QString &what, const QString &outPath);
    void OnScanEnded();

private:
    void UpdateHint();

    QTreeCtrlDlg *m_tree;
    QPointer<QOptitonDlg> m_optiton;
    RecoverMod m_mode = salvitra::RecoverQuick;
    bool m_rangeFlag = false;
    int m_scannedType = 0;
    Partiton_Struct m_rangeCopy{};
    QImageButton *m_btnHome;
    QImageButton *m_btnScan;
    QImageButton *m_btnOptiton;
    QImageButton *m_btnOpenImage;
    QImageButton *m_btnSaveImage;
    QAction *m_actSaveImage;
    QLabel *m_title;
    QLabel *m_filterLabel;
    QLabel *m_hintLabel;
    QComboBox *m_filter;
    QCheckBox *m_formatted;
    QComboBox *m_fsList;
    bool m_partSelected = false;
    QRadioButton *m_radioAll;
    QRadioButton *m_radioDel;
    unsigned long long m_rangeStart = 0;
    unsigned long long m_rangeEnd = 0;
    QStringList m_types;

    // The scan of the current page visit: made by OnScan, released by
    // FreeModBlock (or the next scan).
    std::unique_ptr<QScanAdapter> m_scan;
    Partiton_Struct *m_target = nullptr;
};
