#pragma once

#include <QObject>
#include <QString>

#include <optional>

class Throttle;

// The command line's console: result lines on standard output, messages and
// one progress line on standard error, and the password typed without echo.
// On a terminal the progress line is redrawn in place a few times a second,
// and cleared before any other line so that lines never run into it; written
// to a file or a pipe it becomes a line of its own at most once a second.
class Terminal : public QObject
{
    Q_OBJECT

public:
    explicit Terminal(QObject *parent = nullptr);
    ~Terminal() override;

    // A GUI-subsystem program started from a console on Windows has no
    // standard streams: it writes to that console instead. Nothing elsewhere.
    static void attachParentConsole();

    // One line from standard input: typed without echo after the prompt when
    // it is a terminal, read as it comes otherwise. Nothing when the input
    // ended before a line.
    std::optional<QString> readPassword(const QString &prompt);

    void printResult(const QString &line);
    void printMessage(const QString &line);
    void setProgress(const QString &text);
    // Brings the progress line up to date and ends it: what follows goes below.
    void endProgress();

private:
    void drawProgress();
    void redrawLater();
    void clearProgress();

    bool outIsTerminal;
    bool errIsTerminal;
    Throttle *throttle;
    QString progress;
    QString written;        // the progress text written last
    bool onScreen = false;  // the progress line is on the terminal now
    bool redrawQueued = false;
    bool ended = false;
};
