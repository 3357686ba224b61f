#include "app/mainwindow.h"

#include "download/downloadwidget.h"
#include "upload/upload2widget.h"

#include <QAction>
#include <QIcon>
#include <QTabWidget>
#include <QToolBar>
#include <QVBoxLayout>

namespace {

const int WINDOW_WIDTH = 800;
const int WINDOW_HEIGHT = 600;

QString changeUserText()
{
    return MainWindow::tr("切换账号");
}

} // namespace

MainWindow::MainWindow(Api *api, OSSApi *ossApi, QWidget *parent)
    : QMainWindow(parent)
    , tabWidget(new QTabWidget)
    , uploadWidget(new Upload2Widget(api, ossApi))
    , downloadWidget(new DownloadWidget(api, ossApi))
    , api(api)
    , ossApi(ossApi)
{
    setWindowTitle(tr("Zamtu批量下载工具"));
    setWindowIcon(QIcon(QStringLiteral(":/logo.png")));

    auto *toolBar = new QToolBar;
    toolBar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    toolBar->addAction(changeUserText());
    connect(toolBar, &QToolBar::actionTriggered, this, &MainWindow::clickAction);

    tabWidget->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    tabWidget->addTab(uploadWidget, tr("上传图片"));
    tabWidget->addTab(downloadWidget, tr("下载图片"));

    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    layout->addWidget(toolBar);
    layout->addWidget(tabWidget);
    setCentralWidget(central);

    setFixedSize(WINDOW_WIDTH, WINDOW_HEIGHT);
}

MainWindow::~MainWindow()
{
    // The pages leave the tab widget first so that each is deleted exactly once.
    delete uploadWidget;
    delete downloadWidget;
    delete tabWidget;
}

void MainWindow::clickAction(QAction *action)
{
    if (action->text() == changeUserText())
        Q_EMIT changeUser();
}
