#include "download/downloadwidget.h"

#include "api/api.h"
#include "base/debuglog.h"
#include "storage/ossapi.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>

#include <climits>

namespace {

const char INDEX[] = "index";

const int NUMBER_EDIT_WIDTH = 120;
const int DIR_EDIT_WIDTH = 150;
const int PATH_COLUMN_WIDTH = 400;
const int MD5_COLUMN_WIDTH = 0;
const int MD5_LENGTH = 32;

const QString MD5_MIAN = QStringLiteral("MIAN");
const QString MD5_NO_IMAGE = QStringLiteral("NO_IMAGE");
const QString PICTURE_SUFFIX = QStringLiteral(".jpg");
const QString SPREADSHEET_SUFFIX = QStringLiteral(".xls");

QString statusReady() { return DownloadWidget::tr("准备下载"); }
QString statusMian() { return DownloadWidget::tr("免图"); }
QString statusNoImage() { return DownloadWidget::tr("暂不配图"); }
QString statusSuccess() { return DownloadWidget::tr("下载成功"); }
QString statusFailure() { return DownloadWidget::tr("下载失败"); }

} // namespace

DownloadWidget::DownloadWidget(Api *api, OSSApi *ossApi, QWidget *parent)
    : QWidget(parent)
    , api(api)
    , ossApi(ossApi)
    , numberLabel(new QLabel(tr("下载编号：")))
    , numberEdit(new QLineEdit)
    , dirLabel(new QLabel(tr("下载目录：")))
    , dirEdit(new QLineEdit)
    , browseButton(new QPushButton(tr("浏览...")))
    , openButton(new QPushButton(tr("打开存储目录")))
    , startButton(new QPushButton(tr("开始下载")))
    , tableView(new QTableView)
    , model(new QStandardItemModel(0, ColumnCount, this))
{
    numberEdit->setObjectName(QStringLiteral("numberEdit"));
    dirEdit->setObjectName(QStringLiteral("dirEdit"));
    browseButton->setObjectName(QStringLiteral("browseButton"));
    openButton->setObjectName(QStringLiteral("openButton"));
    startButton->setObjectName(QStringLiteral("startButton"));
    tableView->setObjectName(QStringLiteral("tableView"));

    numberEdit->setFixedWidth(NUMBER_EDIT_WIDTH);
    dirEdit->setFixedWidth(DIR_EDIT_WIDTH);
    numberLabel->setBuddy(numberEdit);
    dirLabel->setBuddy(dirEdit);

    auto *controls = new QHBoxLayout;
    controls->addWidget(numberLabel);
    controls->addWidget(numberEdit);
    controls->addWidget(dirLabel);
    controls->addWidget(dirEdit);
    controls->addWidget(browseButton);
    controls->addStretch();
    controls->addWidget(openButton);
    controls->addWidget(startButton);

    model->setHorizontalHeaderLabels({tr("分类"), tr("菜名"), tr("存储路径"), tr("MD5"), tr("状态")});
    tableView->setModel(model);
    tableView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tableView->setColumnWidth(PathColumn, PATH_COLUMN_WIDTH);
    tableView->setColumnWidth(Md5Column, MD5_COLUMN_WIDTH);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(tableView);

    setProperty(INDEX, 0);

    connect(browseButton, &QPushButton::clicked, this, &DownloadWidget::selectDir);
    connect(openButton, &QPushButton::clicked, this, &DownloadWidget::clickOpenButton);
    connect(startButton, &QPushButton::clicked, this, &DownloadWidget::startDownload);
    connect(api, &Api::successDownload, this, &DownloadWidget::successDownload);
    connect(ossApi, &OSSApi::finishDownload, this, &DownloadWidget::finishDownload);
}

DownloadWidget::~DownloadWidget() = default;

bool DownloadWidget::isSafePathComponent(const QString &component)
{
    if (component == QLatin1String(".") || component == QLatin1String(".."))
        return false;
    // Separators of either platform, drive letters and alternate data streams
    // (":"), and NUL, which ends the name the file system sees.
    for (const QChar c : component) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':') || c.isNull())
            return false;
    }
    return true;
}

void DownloadWidget::selectDir()
{
    QString start = dirEdit->text();
    if (!QFileInfo::exists(start.isEmpty() ? QStringLiteral(".") : start)) {
        start = QStringLiteral(".");
        dirEdit->clear();
    }
    const QString dir = QFileDialog::getExistingDirectory(
        this, tr("请选择下载目录"), start,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    dirEdit->setText(dir);
}

bool DownloadWidget::checkFolder(const QString &folder)
{
    // Paths are built as folder + separator + ...: an empty folder would put
    // them at the root of the file system.
    if (folder.isEmpty()) {
        QMessageBox::about(nullptr, tr("提示"), tr("请先选择下载目录"));
        return false;
    }
    if (!QFileInfo(folder).isDir()) {
        QMessageBox::about(nullptr, tr("提示"), tr("下载目录不存在，请重新选择"));
        return false;
    }
    return true;
}

void DownloadWidget::startDownload()
{
    const QString no = numberEdit->text();
    if (!checkFolder(dirEdit->text()))
        return;
    model->removeRows(0, model->rowCount());
    setProperty(INDEX, 0);
    requestedNo = no;
    requested = true;
    api->download(no);
}

void DownloadWidget::successDownload(const QString &no, const QMap<QString, QString> &data)
{
    // The answer to an earlier start that was overtaken by a newer one.
    if (requested && no != requestedNo) {
        debugQuoted("Stale download number:", no);
        return;
    }

    // The folder field may have been edited since start.
    const QString folder = dirEdit->text();
    if (!checkFolder(folder))
        return;
    const QString sep = QDir::separator();

    model->removeRows(0, model->rowCount());

    const QString uri = data.value(QStringLiteral("uri"));
    if (!uri.isEmpty()) {
        if (isSafePathComponent(no))
            api->excel(uri, folder + sep + no + SPREADSHEET_SUFFIX);
        else
            debugQuoted("Unsafe spreadsheet name:", no);
    }

    runFirstId = nextRunFirstId;
    for (int i = 0;; ++i) {
        const QString suffix = QString::number(i);
        const QString category = data.value(QStringLiteral("category") + suffix);
        if (category.isEmpty())
            break;
        const QString name = data.value(QStringLiteral("name") + suffix);
        const QString md5 = data.value(QStringLiteral("md5") + suffix);

        QString status = statusReady();
        if (md5 == MD5_MIAN)
            status = statusMian();
        else if (md5 == MD5_NO_IMAGE)
            status = statusNoImage();

        if (!isSafePathComponent(category) || !isSafePathComponent(name)) {
            // Nothing is created or written for this row: it has no path, so the
            // walk skips it. A marker row keeps its marker, the others fail.
            debugQuoted("Unsafe picture path:", category + QLatin1Char('|') + name);
            if (status == statusReady())
                status = statusFailure();
            appendRow(category, name, QString(), md5, status);
            continue;
        }

        const QString dir = folder + sep + category;
        if (!QFileInfo(dir).isDir())
            QDir().mkpath(dir);
        appendRow(category, name, dir + sep + name + PICTURE_SUFFIX, md5, status);
    }

    const int rows = model->rowCount();
    nextRunFirstId = runFirstId > INT_MAX - rows - 1 ? 0 : runFirstId + rows + 1;

    setProperty(INDEX, 0);
    downloadNext();
}

void DownloadWidget::appendRow(const QString &category, const QString &name, const QString &path,
                               const QString &md5, const QString &status)
{
    QList<QStandardItem *> items;
    for (const QString &text : {category, name, path, md5, status}) {
        auto *item = new QStandardItem(text);
        item->setEditable(false);
        items.append(item);
    }
    model->appendRow(items);
}

void DownloadWidget::downloadNext()
{
    for (;;) {
        const int i = property(INDEX).toInt();
        setProperty(INDEX, i + 1);
        if (i >= model->rowCount())
            return;
        const QString md5 = model->item(i, Md5Column)->text();
        const QString path = model->item(i, PathColumn)->text();
        if (md5.size() == MD5_LENGTH && !path.isEmpty())
            ossApi->download(runFirstId + i, md5, path);
    }
}

void DownloadWidget::finishDownload(bool success, int index)
{
    const qint64 row = qint64(index) - runFirstId;
    if (row < 0 || row >= model->rowCount()) {
        debugQuoted("Stale download result:", QString::number(index));
        return;
    }
    model->item(int(row), StatusColumn)->setText(success ? statusSuccess() : statusFailure());
}

void DownloadWidget::clickOpenButton()
{
    const QString folder = dirEdit->text();
#ifdef Q_OS_WIN
    // The folder goes onto explorer's command line as typed.
    QProcess process;
    process.setProgram(QStringLiteral("explorer"));
    process.setNativeArguments(folder);
    process.startDetached();
#else
    QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
#endif
    qDebug() << "clickOpenButton";
}
