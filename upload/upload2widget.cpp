#include "upload/upload2widget.h"

#include "api/api.h"
#include "storage/ossapi.h"
#include "store/imagequeue.h"
#include "upload/filemd5.h"
#include "upload/imagereader.h"

#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include <utility>

namespace {

const char COUNTER_TOTAL[] = "total";
const char COUNTER_EXISTS[] = "exists";
const char COUNTER_ERROR[] = "error";
const char COUNTER_SUCCESS[] = "success";

const int FOLDER_EDIT_WIDTH = 400;
const int LOG_HISTORY = 100; // earlier lines kept besides the newest
const QString LINE_END = QStringLiteral("\r\n");

// A picture whose file cannot be read: it is neither probed nor sent.
const QString STATUS_READ_FAILED = QStringLiteral("读取失败");

} // namespace

Upload2Widget::Upload2Widget(Api *api, OSSApi *ossApi, QWidget *parent)
    : QWidget(parent)
    , folderEdit(new QLineEdit)
    , browseButton(new QPushButton(tr("浏览...")))
    , startButton(new QPushButton(tr("开始上传")))
    , infoLabel(new QLabel(tr("请选择目录后点击上传图片（后缀：.jpeg,.jpg,.png,.gif；宽高和大于：2000；文件名：含中文）")))
    , logView(new QTextEdit)
    , logLines{QStringLiteral("准备就绪...")}
    , api(api)
    , ossApi(ossApi)
    , reader(new ImageReader)
{
    resetCounters();

    folderEdit->setFixedWidth(FOLDER_EDIT_WIDTH);
    folderEdit->setFocusPolicy(Qt::NoFocus);
    startButton->setEnabled(false);
    logView->setFocusPolicy(Qt::NoFocus);
    logView->document()->setUndoRedoEnabled(false);

    auto *folderLabel = new QLabel(tr("图片目录："));
    folderLabel->setBuddy(folderEdit);

    auto *folderRow = new QHBoxLayout;
    folderRow->addWidget(folderLabel);
    folderRow->addWidget(folderEdit);
    folderRow->addWidget(browseButton);
    folderRow->addStretch();
    folderRow->addWidget(startButton);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(folderRow);
    layout->addWidget(infoLabel);
    layout->addWidget(logView);

    connect(browseButton, &QPushButton::clicked, this, &Upload2Widget::clickScan);
    connect(startButton, &QPushButton::clicked, this, &Upload2Widget::clickUpload);
    connect(api, &Api::successOss, this, &Upload2Widget::successOss);
    connect(ossApi, &OSSApi::finishExists, this, &Upload2Widget::finishExists);
    connect(ossApi, &OSSApi::finishUpload, this, &Upload2Widget::finishUpload);
    connect(reader, &ImageReader::readImage, this, &Upload2Widget::readImage);
    connect(reader, &ImageReader::finishRead, this, &Upload2Widget::finishRead);
}

Upload2Widget::~Upload2Widget()
{
    delete reader;
}

void Upload2Widget::clickScan()
{
    QString startFolder = folderEdit->text();
    if (startFolder.isEmpty() || !QFileInfo(startFolder).isDir()) {
        startFolder = QStringLiteral(".");
        folderEdit->clear();
    }
    const QString folder = QFileDialog::getExistingDirectory(
        this, tr("请选择上传文件夹"), startFolder,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    folderEdit->setText(folder);
    startButton->setEnabled(true);
}

void Upload2Widget::clickUpload()
{
    // The start button stays enabled during a scan and pauses handle input, so a
    // click may arrive from inside the running scan: it is not a new run.
    if (reader->isReading())
        return;
    resetCounters();
    // A start clicked during a pause gets pauses of its own for its scan, so the
    // window stays responsive through the walk; nesting stays at two levels.
    const bool outerPausing = std::exchange(pausing, false);
    reader->read(folderEdit->text());
    pausing = outerPausing;
}

void Upload2Widget::readImage(int total)
{
    setProperty(COUNTER_TOTAL, total);
    ImageRecord record;
    if (!findRecord(total, record))
        return;
    const QString md5 = fileMd5(record.path);
    if (md5.isEmpty()) {
        failPicture(QStringLiteral("读取失败：") + record.path);
        updateImageStatus(total, STATUS_READ_FAILED);
        return;
    }
    appendLog(QStringLiteral("开始上传：") + record.path);
    ossApi->exists(total, md5);
}

void Upload2Widget::finishRead()
{
    appendLog(QStringLiteral("图片读取完毕！"));
}

void Upload2Widget::finishExists(bool exists, int id, const QString &md5)
{
    if (exists) {
        const ImageRecord record = findImageById(id);
        increment(COUNTER_EXISTS);
        appendLog(QStringLiteral("图片已存在：") + record.path);
        updateImageStatus(id, STATUS_EXISTS);
        return;
    }
    ImageRecord record;
    if (!findRecord(id, record))
        return;
    appendLog(QStringLiteral("发送图片：") + record.path);
    updateImageStatus(id, STATUS_SENDING);
    ossApi->upload(id, md5, record.path);
}

void Upload2Widget::finishUpload(bool success, int id, const QString &md5)
{
    if (!success) {
        const ImageRecord record = findImageById(id);
        increment(COUNTER_ERROR);
        appendLog(QStringLiteral("发送失败：") + record.path);
        updateImageStatus(id, STATUS_OSS_FAILED);
        return;
    }
    ImageRecord record;
    if (!findRecord(id, record))
        return;
    appendLog(QStringLiteral("发送成功：") + record.path);
    updateImageStatus(id, STATUS_OSS_DONE);
    api->oss(id, md5, record.name);
}

void Upload2Widget::successOss(int id, const QString &)
{
    increment(COUNTER_SUCCESS);
    const ImageRecord record = findImageById(id);
    appendLog(QStringLiteral("上传成功：") + record.path);
    updateImageStatus(id, STATUS_UPLOADED);
}

bool Upload2Widget::findRecord(int id, ImageRecord &record)
{
    record = findImageById(id);
    if (!record.path.isEmpty())
        return true;
    // Without its row the picture has no file to read, send or name.
    failPicture(QStringLiteral("找不到图片记录：") + QString::number(id));
    return false;
}

void Upload2Widget::failPicture(const QString &logLine)
{
    increment(COUNTER_ERROR);
    appendLog(logLine);
}

void Upload2Widget::resetCounters()
{
    setProperty(COUNTER_TOTAL, 0);
    setProperty(COUNTER_EXISTS, 0);
    setProperty(COUNTER_ERROR, 0);
    setProperty(COUNTER_SUCCESS, 0);
}

void Upload2Widget::increment(const char *counter)
{
    setProperty(counter, property(counter).toInt() + 1);
}

void Upload2Widget::appendLog(const QString &line)
{
    qsizetype dropped = 0;
    while (logLines.size() > LOG_HISTORY) {
        logLines.removeFirst();
        ++dropped;
    }
    logLines.append(line);
    showLog(dropped);

    QScrollBar *scrollBar = logView->verticalScrollBar();
    scrollBar->setValue(scrollBar->maximum());
    updateCounters();
}

void Upload2Widget::showLog(qsizetype dropped)
{
    // The view shows every line followed by a line break. It is edited in place:
    // laying out the whole text again for every line would dominate a run of
    // thousands of pictures. Lines go in as plain text, never as markup.
    QTextCursor cursor(logView->document());
    cursor.beginEditBlock();
    for (qsizetype i = 0; i < dropped && !shownLengths.isEmpty(); ++i) {
        cursor.setPosition(0);
        cursor.setPosition(shownLengths.takeFirst(), QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
    }
    // The first line written brings the ready line with it.
    for (qsizetype i = shownLengths.size(); i < logLines.size(); ++i) {
        cursor.movePosition(QTextCursor::End);
        const int start = cursor.position();
        cursor.insertText(logLines.at(i) + LINE_END);
        shownLengths.append(cursor.position() - start);
    }
    cursor.endEditBlock();
}

void Upload2Widget::updateCounters()
{
    infoLabel->setText(QStringLiteral("总图片：") + QString::number(property(COUNTER_TOTAL).toInt())
                       + QStringLiteral(" 已经存在：") + QString::number(property(COUNTER_EXISTS).toInt())
                       + QStringLiteral(" 上传失败：") + QString::number(property(COUNTER_ERROR).toInt())
                       + QStringLiteral(" 上传成功:") + QString::number(property(COUNTER_SUCCESS).toInt()));
    pause();
}

void Upload2Widget::pause()
{
    // Lets pending repaints, input and replies be handled. Handlers run from here
    // write their own log lines without pausing again, so the nesting stays one
    // level deep however many replies arrive.
    if (pausing)
        return;
    pausing = true;
    QEventLoop loop;
    QTimer::singleShot(0, &loop, &QEventLoop::quit);
    loop.exec();
    pausing = false;
}
