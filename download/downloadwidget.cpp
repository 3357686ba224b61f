#include "download/downloadwidget.h"

#include "base/throttle.h"
#include "download/downloadrun.h"
#include "gui/buttonstates.h"
#include "gui/elidedlabel.h"
#include "gui/noticebox.h"
#include "gui/resultexport.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QUrl>
#include <QVBoxLayout>

namespace {

const int NUMBER_EDIT_WIDTH = 120;
const int DIR_EDIT_WIDTH = 150;
const int PATH_COLUMN_WIDTH = 400;
const int MD5_COLUMN_WIDTH = 0;
const int PROGRESS_WIDTH = 160;
// What changes with every picture is brought on screen at most this often.
const int REFRESH_MS = 200;

} // namespace

DownloadWidget::DownloadWidget(Api *api, OSSApi *ossApi, QWidget *parent)
    : QWidget(parent)
    , numberLabel(new QLabel(tr("下载编号：")))
    , numberEdit(new QLineEdit)
    , dirLabel(new QLabel(tr("下载目录：")))
    , dirEdit(new QLineEdit)
    , browseButton(new QPushButton(tr("浏览...")))
    , openButton(new QPushButton(tr("打开存储目录")))
    , startButton(new QPushButton(tr("开始下载")))
    , tableView(new QTableView)
    , model(new QStandardItemModel(0, ColumnCount, this))
    , progressBar(new QProgressBar)
    , statusLabel(new ElidedLabel)
    , stopButton(new QPushButton(tr("停止")))
    , retryButton(new QPushButton(tr("重试失败")))
    , exportButton(new QPushButton(tr("导出结果")))
    , run(new DownloadRun(api, ossApi, this))
    , throttle(new Throttle(REFRESH_MS, [this] { refresh(); }, this))
{
    numberEdit->setObjectName(QStringLiteral("numberEdit"));
    dirEdit->setObjectName(QStringLiteral("dirEdit"));
    browseButton->setObjectName(QStringLiteral("browseButton"));
    openButton->setObjectName(QStringLiteral("openButton"));
    startButton->setObjectName(QStringLiteral("startButton"));
    tableView->setObjectName(QStringLiteral("tableView"));
    progressBar->setObjectName(QStringLiteral("progressBar"));
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    stopButton->setObjectName(QStringLiteral("stopButton"));
    retryButton->setObjectName(QStringLiteral("retryButton"));
    exportButton->setObjectName(QStringLiteral("exportButton"));
    run->setObjectName(QStringLiteral("downloadRun"));

    numberEdit->setFixedWidth(NUMBER_EDIT_WIDTH);
    dirEdit->setFixedWidth(DIR_EDIT_WIDTH);
    numberLabel->setBuddy(numberEdit);
    dirLabel->setBuddy(dirEdit);
    progressBar->setFixedWidth(PROGRESS_WIDTH);
    progressBar->setRange(0, 1);
    progressBar->setValue(0);

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

    auto *statusRow = new QHBoxLayout;
    statusRow->addWidget(progressBar);
    statusRow->addWidget(statusLabel, 1);
    statusRow->addWidget(stopButton);
    statusRow->addWidget(retryButton);
    statusRow->addWidget(exportButton);

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(controls);
    layout->addWidget(tableView);
    layout->addLayout(statusRow);

    connect(browseButton, &QPushButton::clicked, this, &DownloadWidget::selectDir);
    connect(openButton, &QPushButton::clicked, this, &DownloadWidget::clickOpenButton);
    connect(startButton, &QPushButton::clicked, this, &DownloadWidget::startDownload);
    connect(stopButton, &QPushButton::clicked, this, &DownloadWidget::stopDownload);
    connect(retryButton, &QPushButton::clicked, this, &DownloadWidget::retryFailed);
    connect(exportButton, &QPushButton::clicked, this, &DownloadWidget::exportResults);
    // The site's answer goes into the folder the field names when it arrives.
    connect(dirEdit, &QLineEdit::textChanged, run, &DownloadRun::setFolder);
    connect(run, &DownloadRun::rowsReady, this, &DownloadWidget::showRows);
    connect(run, &DownloadRun::rowChanged, this, &DownloadWidget::showRow);
    connect(run, &DownloadRun::progressChanged, throttle, &Throttle::request);
    connect(run, &DownloadRun::logLine, statusLabel, &QLabel::setText);
    connect(run, &DownloadRun::notice, statusLabel, &QLabel::setText);
    connect(run, &DownloadRun::folderRefused, this, [](const QString &message) { NoticeBox::show(message); });
    connect(run, &DownloadRun::runningChanged, this, &DownloadWidget::updateButtons);
    connect(run, &DownloadRun::finished, this, &DownloadWidget::runFinished);
    updateButtons();
}

DownloadWidget::~DownloadWidget() = default;

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

void DownloadWidget::startDownload()
{
    if (run->isRunning())
        return;
    const QString problem = run->start(numberEdit->text(), dirEdit->text());
    if (!problem.isEmpty()) {
        NoticeBox::show(problem);
        return;
    }
    hasRun = true;
    statusLabel->setText(tr("正在查询下载编号..."));
}

void DownloadWidget::stopDownload()
{
    run->stop();
}

void DownloadWidget::retryFailed()
{
    if (!run->hasRetryable())
        return;
    statusLabel->setText(tr("正在重试失败的图片..."));
    run->retryFailed();
}

void DownloadWidget::exportResults()
{
    const QString no = DownloadRun::isSafePathComponent(run->number()) ? run->number() : QString();
    exportCsv(this, no + tr("下载结果.csv"), [this] { return run->resultRows(); },
                    [this](const QString &path) { statusLabel->setText(tr("已导出：") + path); });
}

void DownloadWidget::showRows()
{
    model->removeRows(0, model->rowCount());
    const QList<DownloadRow> &rows = run->rows();
    for (const DownloadRow &row : rows) {
        QList<QStandardItem *> items;
        for (const QString &text : {row.category, row.name, row.path, row.md5, row.status}) {
            auto *item = new QStandardItem(text);
            item->setEditable(false);
            items.append(item);
        }
        items.at(StatusColumn)->setToolTip(row.reason);
        model->appendRow(items);
    }
    throttle->request();
}

void DownloadWidget::showRow(int row)
{
    QStandardItem *item = model->item(row, StatusColumn);
    if (!item || row >= run->rows().size())
        return;
    const DownloadRow &data = run->rows().at(row);
    item->setText(data.status);
    item->setToolTip(data.reason);
}

void DownloadWidget::refresh()
{
    const DownloadRun::Counters counts = run->counters();
    if (run->isWaitingForNumber()) {
        progressBar->setRange(0, 0);
    } else if (counts.wanted == 0) {
        progressBar->setRange(0, 1);
        progressBar->setValue(hasRun && !run->isRunning() ? 1 : 0);
    } else {
        progressBar->setRange(0, counts.wanted);
        // Full only once the run is over: the spreadsheet may still be on its
        // way when the last picture is in.
        progressBar->setValue(run->isRunning() ? qMin(counts.finishedWanted, counts.wanted - 1)
                                               : counts.finishedWanted);
    }
}

void DownloadWidget::runFinished()
{
    statusLabel->setText(run->summary());
    throttle->flush(true);
    updateButtons();
}

void DownloadWidget::updateButtons()
{
    const bool running = run->isRunning();
    setButtonsEnabled({{startButton, !running},
                       {stopButton, running},
                       {retryButton, run->hasRetryable()},
                       {exportButton, hasRun && !running && !run->rows().isEmpty()}});
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
