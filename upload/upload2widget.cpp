#include "upload/upload2widget.h"

#include "base/throttle.h"
#include "gui/buttonstates.h"
#include "gui/elidedlabel.h"
#include "gui/resultexport.h"
#include "upload/uploadrun.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

namespace {

const int FOLDER_EDIT_WIDTH = 400;
const int PROGRESS_WIDTH = 160;
// The log shows the latest lines only: the newest and 100 before it.
const int LOG_LINES = 101;
// What changes with every picture is brought on screen at most this often.
const int REFRESH_MS = 200;

QString logText(const QString &line)
{
    // One line of the log per line written: a line break inside a file name
    // is shown as a break within the line.
    QString text = line;
    text.replace(QLatin1String("\r\n"), QString(QChar::LineSeparator));
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    text.replace(QLatin1Char('\r'), QChar::LineSeparator);
    return text;
}

} // namespace

Upload2Widget::Upload2Widget(Api *api, OSSApi *ossApi, QWidget *parent)
    : QWidget(parent)
    , folderEdit(new QLineEdit)
    , browseButton(new QPushButton(tr("浏览...")))
    , startButton(new QPushButton(tr("开始上传")))
    , infoLabel(new QLabel(tr("请选择目录后点击上传图片（后缀：.jpeg,.jpg,.png,.gif；宽高和大于：2000；文件名：含中文）")))
    , logView(new QPlainTextEdit)
    , progressBar(new QProgressBar)
    , statusLabel(new ElidedLabel)
    , stopButton(new QPushButton(tr("停止")))
    , retryButton(new QPushButton(tr("重试失败")))
    , exportButton(new QPushButton(tr("导出结果")))
    , run(new UploadRun(api, ossApi, this))
    , throttle(new Throttle(REFRESH_MS, [this] { refresh(); }, this))
{
    folderEdit->setObjectName(QStringLiteral("folderEdit"));
    browseButton->setObjectName(QStringLiteral("browseButton"));
    startButton->setObjectName(QStringLiteral("startButton"));
    infoLabel->setObjectName(QStringLiteral("infoLabel"));
    logView->setObjectName(QStringLiteral("logView"));
    progressBar->setObjectName(QStringLiteral("progressBar"));
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    stopButton->setObjectName(QStringLiteral("stopButton"));
    retryButton->setObjectName(QStringLiteral("retryButton"));
    exportButton->setObjectName(QStringLiteral("exportButton"));
    run->setObjectName(QStringLiteral("uploadRun"));

    folderEdit->setFixedWidth(FOLDER_EDIT_WIDTH);
    folderEdit->setFocusPolicy(Qt::NoFocus);
    logView->setFocusPolicy(Qt::NoFocus);
    logView->setReadOnly(true);
    logView->setUndoRedoEnabled(false);
    logView->setMaximumBlockCount(LOG_LINES);
    progressBar->setFixedWidth(PROGRESS_WIDTH);
    progressBar->setRange(0, 1);
    progressBar->setValue(0);

    auto *folderLabel = new QLabel(tr("图片目录："));
    folderLabel->setBuddy(folderEdit);

    auto *folderRow = new QHBoxLayout;
    folderRow->addWidget(folderLabel);
    folderRow->addWidget(folderEdit);
    folderRow->addWidget(browseButton);
    folderRow->addStretch();
    folderRow->addWidget(startButton);

    auto *statusRow = new QHBoxLayout;
    statusRow->addWidget(progressBar);
    statusRow->addWidget(statusLabel, 1);
    statusRow->addWidget(stopButton);
    statusRow->addWidget(retryButton);
    statusRow->addWidget(exportButton);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(folderRow);
    layout->addWidget(infoLabel);
    layout->addWidget(logView);
    layout->addLayout(statusRow);

    connect(browseButton, &QPushButton::clicked, this, &Upload2Widget::clickScan);
    connect(startButton, &QPushButton::clicked, this, &Upload2Widget::clickUpload);
    connect(stopButton, &QPushButton::clicked, this, &Upload2Widget::clickStop);
    connect(retryButton, &QPushButton::clicked, this, &Upload2Widget::clickRetry);
    connect(exportButton, &QPushButton::clicked, this, &Upload2Widget::clickExport);
    connect(run, &UploadRun::logLine, this, &Upload2Widget::appendLog);
    connect(run, &UploadRun::notice, this, &Upload2Widget::appendLog);
    connect(run, &UploadRun::progressChanged, throttle, &Throttle::request);
    connect(run, &UploadRun::runningChanged, this, &Upload2Widget::updateButtons);
    connect(run, &UploadRun::finished, this, &Upload2Widget::runFinished);
    updateButtons();
}

Upload2Widget::~Upload2Widget() = default;

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
    folderChosen = true;
    updateButtons();
}

void Upload2Widget::clickUpload()
{
    if (run->isRunning())
        return;
    hasRun = true;
    statusLabel->setText(tr("正在上传..."));
    run->start(folderEdit->text());
}

void Upload2Widget::clickStop()
{
    run->stop();
}

void Upload2Widget::clickRetry()
{
    if (!run->hasRetryable())
        return;
    statusLabel->setText(tr("正在重试失败的图片..."));
    run->retryFailed();
}

void Upload2Widget::clickExport()
{
    exportCsv(this, tr("上传结果.csv"), [this] { return run->resultRows(); },
                  [this](const QString &path) { statusLabel->setText(tr("已导出：") + path); });
}

void Upload2Widget::appendLog(const QString &line)
{
    // The first line written brings the ready line with it.
    if (!logStarted) {
        logStarted = true;
        pendingLines.append(QStringLiteral("准备就绪..."));
    }
    pendingLines.append(logText(line));
    // Lines the view would drop at once are never laid out.
    if (pendingLines.size() > LOG_LINES)
        pendingLines.erase(pendingLines.begin(), pendingLines.end() - LOG_LINES);
    throttle->request();
}

void Upload2Widget::refresh()
{
    if (!pendingLines.isEmpty()) {
        logView->appendPlainText(pendingLines.join(QLatin1Char('\n')));
        pendingLines.clear();
        QScrollBar *scrollBar = logView->verticalScrollBar();
        scrollBar->setValue(scrollBar->maximum());
    }

    const UploadRun::Counters counts = run->counters();
    setProperty("total", counts.total);
    setProperty("exists", counts.exists);
    setProperty("error", counts.error);
    setProperty("success", counts.success);
    // The hint stays until the first log line.
    if (logStarted) {
        infoLabel->setText(QStringLiteral("总图片：") + QString::number(counts.total)
                           + QStringLiteral(" 已经存在：") + QString::number(counts.exists)
                           + QStringLiteral(" 上传失败：") + QString::number(counts.error)
                           + QStringLiteral(" 上传成功:") + QString::number(counts.success));
    }

    if (run->isRunning() && run->isWalking()) {
        progressBar->setRange(0, 0); // still finding pictures: no figure yet
    } else if (counts.total == 0) {
        progressBar->setRange(0, 1);
        progressBar->setValue(hasRun && !run->isRunning() ? 1 : 0);
    } else {
        progressBar->setRange(0, counts.total);
        progressBar->setValue(counts.finished());
    }
}

void Upload2Widget::runFinished()
{
    appendLog(run->summary());
    statusLabel->setText(run->summary());
    throttle->flush(true);
    updateButtons();
}

void Upload2Widget::updateButtons()
{
    const bool running = run->isRunning();
    setButtonsEnabled({{startButton, folderChosen && !running},
                       {stopButton, running},
                       {retryButton, run->hasRetryable()},
                       {exportButton, hasRun && !running}});
}
