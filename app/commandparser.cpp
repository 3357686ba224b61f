#include "app/commandparser.h"

#include <QCommandLineOption>
#include <QCommandLineParser>

namespace {

const QString PROGRAM = QStringLiteral("zamtu-batch");
const QString VERSION = QStringLiteral(ZAMTU_VERSION);

const QString LOGIN = QStringLiteral("login");
const QString UPLOAD = QStringLiteral("upload");
const QString DOWNLOAD = QStringLiteral("download");

struct SubCommand
{
    QString name;
    CommandParser::Action action;
    QStringList arguments; // what each argument is, for the messages
};

const SubCommand SUB_COMMANDS[] = {
    {LOGIN, CommandParser::Action::Login, {QStringLiteral("用户名")}},
    {UPLOAD, CommandParser::Action::Upload, {QStringLiteral("图片目录")}},
    {DOWNLOAD, CommandParser::Action::Download, {QStringLiteral("下载编号"), QStringLiteral("下载目录")}},
};

QString synopsis(const SubCommand &command)
{
    return PROGRAM + QLatin1Char(' ') + command.name + QLatin1Char(' ') + command.arguments.join(QLatin1Char(' '));
}

QString optionName(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
}

CommandParser::Result usageError(const QString &error)
{
    CommandParser::Result result;
    result.error = error;
    return result;
}

} // namespace

CommandParser::Result CommandParser::parse(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("显示帮助"));
    const QCommandLineOption versionOption({QStringLiteral("v"), QStringLiteral("version")},
                                           QStringLiteral("显示版本"));
    parser.addOption(helpOption);
    parser.addOption(versionOption);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("login, upload or download"));

    if (!parser.parse(arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (unknown.isEmpty())
            return usageError(parser.errorText());
        QStringList names;
        for (const QString &name : unknown)
            names.append(optionName(name));
        return usageError(QStringLiteral("未知选项：") + names.join(QStringLiteral("，")));
    }

    Result result;
    if (parser.isSet(helpOption)) {
        result.action = Action::Help;
        return result;
    }
    if (parser.isSet(versionOption)) {
        result.action = Action::Version;
        return result;
    }

    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return usageError(QStringLiteral("缺少命令"));
    const QString name = positional.takeFirst();
    for (const SubCommand &command : SUB_COMMANDS) {
        if (command.name != name)
            continue;
        if (positional.size() < command.arguments.size()) {
            return usageError(QStringLiteral("缺少参数：") + command.arguments.mid(positional.size()).join(QLatin1Char(' '))
                              + QStringLiteral("（") + synopsis(command) + QStringLiteral("）"));
        }
        if (positional.size() > command.arguments.size()) {
            return usageError(QStringLiteral("多余的参数：") + positional.mid(command.arguments.size()).join(QLatin1Char(' '))
                              + QStringLiteral("（") + synopsis(command) + QStringLiteral("）"));
        }
        result.action = command.action;
        result.arguments = positional;
        return result;
    }
    return usageError(QStringLiteral("未知命令：") + name);
}

QString CommandParser::usageText()
{
    QString text = QStringLiteral("用法：\n  ") + PROGRAM + QStringLiteral("（不带参数：打开窗口）\n");
    for (const SubCommand &command : SUB_COMMANDS)
        text += QStringLiteral("  ") + synopsis(command) + QLatin1Char('\n');
    text += QStringLiteral("  ") + PROGRAM + QStringLiteral(" --help | --version\n");
    return text;
}

QString CommandParser::helpText()
{
    return PROGRAM + QStringLiteral(" ") + VERSION + QStringLiteral("：Zamtu批量下载工具的命令行\n\n")
        + usageText()
        + QStringLiteral("\n命令：\n"
                         "  login      登录并记住账号；密码在终端输入（不显示），不是终端时从标准输入读一行\n"
                         "  upload     用记住的账号把目录里符合要求的图片全部上传\n"
                         "  download   用记住的账号把下载编号的表格和图片下载到目录里，每个分类一个子目录\n"
                         "\n输出：每张图片结束时在标准输出写一行（状态、路径或分类/菜名、失败原因，以制表符分隔），"
                         "最后一行是汇总；进度和提示写在标准错误。按 Ctrl+C 停止。\n"
                         "\n退出码：\n"
                         "  0  全部成功或已经存在\n"
                         "  1  有失败的图片，或已停止\n"
                         "  2  用法错误\n"
                         "  3  没有记住的账号，或登录被拒绝\n"
                         "  4  站点拒绝请求或无法连接\n");
}

QString CommandParser::versionText()
{
    return PROGRAM + QLatin1Char(' ') + VERSION;
}
