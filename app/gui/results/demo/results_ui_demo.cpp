// Shows the results views on made-up pictures, as the results page places
// them, and can save a screenshot:
//   results_ui_demo [--page N] [--tick] [--preview photo|gif|broken] [--list]
//                   [--shot FILE]
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

#include "gif_writer.h"
#include "pagedthumbviewer.h"
#include "previewimagectrl.h"
#include "resultviews.h"

namespace {

QString makePicture(const QString &dir, int i)
{
    QImage img(320, 240, QImage::Format_RGB32);
    QColor base = QColor::fromHsv((i * 37) % 360, 150, 220);
    QPainter p(&img);
    QLinearGradient g(0, 0, 320, 240);
    g.setColorAt(0, base.lighter(130));
    g.setColorAt(1, base.darker(160));
    p.fillRect(img.rect(), g);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 90));
    p.drawEllipse(QPoint(80 + (i * 53) % 160, 70 + (i * 29) % 100), 60, 60);
    p.setPen(Qt::white);
    QFont f = p.font();
    f.setPixelSize(64);
    f.setBold(true);
    p.setFont(f);
    p.drawText(img.rect(), Qt::AlignCenter, QString::number(i));
    p.end();
    QString name = QString("IMG_%1.%2").arg(i, 4, 10, QChar('0')).arg(i % 2 ? "png" : "jpg");
    QString path = dir + "/" + name;
    img.save(path);
    return path;
}

QString writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (f.open(QIODevice::WriteOnly))
        f.write(bytes);
    return path;
}

QString makeGif(const QString &dir, bool animated)
{
    const int w = 120, h = 60;
    QVector<QByteArray> frames;
    int n = animated ? 8 : 1;
    for (int k = 0; k < n; k++)
        frames.push_back(gifw::movingSquare(w, h, k, n));
    QVector<QRgb> pal = {qRgb(250, 250, 250), qRgb(40, 120, 220), qRgb(230, 80, 60), qRgb(0, 0, 0)};
    return writeFile(dir + (animated ? "/moving.gif" : "/still.gif"), gifw::makeGif(w, h, pal, frames, 8));
}

}  // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QStringList args = app.arguments();
    auto value = [&](const QString &key) {
        int i = args.indexOf(key);
        return i >= 0 && i + 1 < args.size() ? args[i + 1] : QString();
    };
    QTemporaryDir tmp;
    const QString dir = tmp.path();

    QWidget window;
    window.setFixedSize(720, 476);
    window.setStyleSheet("QWidget#page{background:#eef1f5;}");
    window.setObjectName("page");
    QLabel title("Results views", &window);
    title.setGeometry(12, 20, 400, 30);

    // The tree and the table as the finished page places them, on a
    // made-up quick scan of a camera card.
    using namespace salvitra;
    std::vector<FoundFile> files;
    auto add = [&](const std::string &name, uint64_t size, bool readable, const std::string &note) {
        FoundFile f;
        f.name = name;
        f.size = size;
        f.mtime = 1623752430 + (int64_t)files.size() * 3671;
        f.state = !readable ? FileState::Unreadable : note.empty() ? FileState::Deleted : FileState::Damaged;
        f.note = note;
        files.push_back(f);
    };
    for (int i = 1; i <= 12; i++)
        add("IMG_" + std::to_string(1000 + i) + ".JPG", 2400000 + i * 13007, i != 4,
            i == 4 ? "no data location recorded" : i == 7 ? "only the first 65536 bytes can be read" : "");
    files[8].state = FileState::Unverified;
    files[8].note = "the entry may have lost the upper part of its first cluster number and no place on the volume "
                    "shows the start of a jpg file; it is read where the entry points (cluster 70213), which may "
                    "hold other data";
    add("Holiday.png", 40211, true, "");
    add("Song.aiff", 5123400, true, "");
    add("voice.mp3", 312000, true, "");
    add("Clip.mp4", 18000300, true, "");
    add("README", 700, true, "");
    add("Report.pdf", 120334, true, "");
    ResultTree model(resultRules(FS_FAT32, RecoverQuick), GroupFilter());
    model.addAll(files);
    model.finish(files);
    NodeRef jpg = model.find(FileGroup::Photo, "jpg");
    model.setCheck(model.find(FileGroup::Music, "mp3"), CheckState::Checked);
    auto *tree = new QTreeWidget(&window);
    tree->setGeometry(0, 64, 198, 368);
    resultviews::setupTree(tree);
    resultviews::fillTree(tree, model);
    tree->setCurrentItem(resultviews::itemOf(tree, jpg));
    auto *table = new QTableWidget(&window);
    resultviews::setupTable(table);
    std::vector<TableRow> rows = model.rows(jpg, files);
    rows[1].check = rows[2].check = CheckState::Checked;
    resultviews::fillTable(table, rows, "jpg");

    QString preview = value("--preview");
    if (args.contains("--list")) {
        table->setGeometry(197, 64, 523, 368);
    } else if (preview.isEmpty()) {
        table->hide();
        auto *viewer = new QPagedThumbViewer(&window);
        viewer->setGeometry(199, 64, 521, 368);
        for (int i = 0; i < 250; i++) {
            QString path;
            if (i == 3)
                path = writeFile(dir + "/broken.jpg", QByteArray(600, '\x5a'));
            else if (i == 6)
                path = makeGif(dir, true);
            else if (i == 7)
                path = makeGif(dir, false);
            else
                path = makePicture(dir, i);
            QString name = QFileInfo(path).fileName();
            if (i == 9)
                name = "A very long file name from the card 0009.jpg";
            viewer->AddItem(path, name, args.contains("--tick") && i % 3 == 0, nullptr);
        }
        viewer->RedrawByData();
        viewer->ChangePage(value("--page").toInt() > 0 ? value("--page").toInt() - 1 : 0);
    } else {
        table->setGeometry(197, 290, 523, 142);
        auto *ctrl = new QPreviewImageCtrl(&window);
        ctrl->setGeometry(198, 65, 520, 225);
        ctrl->SetShowStyle(PreviewFit);
        if (preview == "gif")
            ctrl->SetImage(makeGif(dir, true));
        else if (preview == "broken")
            ctrl->SetPixmap(QPictureNode::notAvailablePixmap(ctrl->size()));
        else
            ctrl->SetImage(makePicture(dir, 42));
    }
    window.show();

    QString shot = value("--shot");
    if (!shot.isEmpty()) {
        QTimer::singleShot(1500, [&]() {
            window.grab().save(shot);
            app.quit();
        });
    }
    return app.exec();
}
