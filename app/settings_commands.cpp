#include "app/settings_commands.h"

#include <QDir>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "components/file_system.h"
#include "records/settings.h"

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace qv {
namespace {

// Error texts hold carriage returns for the message box; one line here.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

class StderrReporter final : public IReporter {
  public:
    bool failed = false;
    void Report(const std::string& title, const std::string& text) override {
        failed = true;
        std::fprintf(stderr, "quorvex: %s: %s\n", title.c_str(), OneLine(text).c_str());
    }
};

// One line of standard input without its line end; false at the end of input with nothing read.
bool ReadLine(std::string* line) {
    line->clear();
    if (!std::getline(std::cin, *line) && line->empty()) return false;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
}

#ifdef Q_OS_UNIX
// Asks on the terminal with echo off; the terminal is put back as it was.
std::string AskHidden(const char* prompt) {
    // Echo goes off before the prompt shows: what is typed after it is never shown.
    termios old{};
    const bool terminal = ::tcgetattr(STDIN_FILENO, &old) == 0;
    if (terminal) {
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    std::string line;
    ReadLine(&line);
    if (terminal) ::tcsetattr(STDIN_FILENO, TCSADRAIN, &old);
    return line;
}
bool StdinIsTerminal() {
    return ::isatty(STDIN_FILENO) == 1;
}
#else
// Windows: the console echoes; a pipe is the way to keep it off the screen.
std::string AskHidden(const char* prompt) {
    std::fputs(prompt, stderr);
    std::string line;
    ReadLine(&line);
    return line;
}
bool StdinIsTerminal() {
    return false;
}
#endif

// The new password from standard input: asked twice on a terminal, else its first line.
// False (said on stderr) when the two answers differ.
bool ReadPassword(std::string* password) {
    if (!StdinIsTerminal()) {
        ReadLine(password);
        return true;
    }
    *password = AskHidden("New password (empty: none): ");
    if (AskHidden("The same again: ") != *password) {
        std::fprintf(stderr,
                     "quorvex: --set-password: the two passwords differ; nothing written\n");
        return false;
    }
    return true;
}

#ifdef Q_OS_UNIX
// Run by root on a service's folder, the file stays the service user's: it owns the folder.
void KeepOwner(const std::string& folder, const std::string& path) {
    struct stat st {};
    if (::geteuid() != 0 || ::stat(folder.c_str(), &st) != 0 || st.st_uid == 0) return;
    if (::chown(path.c_str(), st.st_uid, st.st_gid) != 0)
        std::fprintf(stderr, "quorvex: %s is left owned by root: %s\n", path.c_str(),
                     std::strerror(errno));
}
#else
void KeepOwner(const std::string&, const std::string&) {}
#endif

}  // namespace

int RunSettingsCommand(const QString& folderText, const SettingsCommand& command) {
    const std::string folder =
        QDir::toNativeSeparators(QDir(folderText).absolutePath()).toStdString() +
        QDir::separator().toLatin1();
    const std::string path = folder + kSettingsFileName;
    StdFileSystem files;
    Settings before = DefaultSettings();
    std::string error;
    std::optional<std::string> text;
    if (!PeekSettings(before, folder, files, &error, &text)) {
        std::fprintf(stderr, "quorvex: %s cannot be read (nothing written): %s\n", path.c_str(),
                     OneLine(error).c_str());
        return 1;
    }

    // Every value is checked before anything is written.
    Settings after = before;
    bool logFileSet = false;
    for (const QString& set : command.sets) {
        const qsizetype eq = set.indexOf(QLatin1Char('='));
        const std::string key = (eq < 0 ? set : set.left(eq)).toStdString();
        if (key == "Password") {
            std::fprintf(stderr,
                         "quorvex: --set cannot set Password; use --set-password, which "
                         "reads it from standard input\n");
            return 2;
        }
        std::string why;
        if (eq < 0) {
            std::fprintf(stderr, "quorvex: --set wants KEY=VALUE, got '%s'\n", qPrintable(set));
            return 2;
        }
        if (!SetSettingText(after, key, set.mid(eq + 1).toStdString(), &why)) {
            std::fprintf(stderr, "quorvex: --set '%s' wants %s\n", qPrintable(set), why.c_str());
            return 2;
        }
        if (key == "Maintain Log File") logFileSet = true;
    }
    // As the setup dialog: pass-through mode and the log file are never both on.
    if (after.PassThruMode && after.LogFileOn) {
        if (logFileSet) {
            std::fprintf(stderr,
                         "quorvex: --set 'Maintain Log File=Yes' wants Pass Thru=No (no log "
                         "file is kept in pass-through mode)\n");
            return 2;
        }
        after.LogFileOn = false;
    }
    if (command.setPassword) {
        if (!ReadPassword(&after.Password)) return 2;
        if (!PasswordStorable(after.Password)) {
            std::fprintf(stderr,
                         "quorvex: --set-password: this password cannot be stored in %s (a "
                         "character too high in the code table for its place, or a blank at "
                         "either end); nothing written\n",
                         kSettingsFileName);
            return 2;
        }
    }

    const auto shownBefore = SettingsShown(before);
    const auto shownAfter = SettingsShown(after);
    bool changed = false;
    for (std::size_t i = 0; i < shownAfter.size(); ++i)
        changed = changed || shownAfter[i] != shownBefore[i] ||
                  (i + 1 == shownAfter.size() && after.Password != before.Password);
    const bool write = command.setPassword || !command.sets.isEmpty();
    if (write && (changed || !text)) {
        StderrReporter reporter;
        WriteSettings(after, folder, files, reporter);
        if (reporter.failed) return 1;
        KeepOwner(folder, path);
        for (std::size_t i = 0; i < shownAfter.size(); ++i) {
            const bool password = i + 1 == shownAfter.size();
            if (shownAfter[i] == shownBefore[i] && !(password && after.Password != before.Password))
                continue;
            if (password)
                std::printf("Password %s\n", after.Password.empty() ? "cleared" : "changed");
            else
                std::printf("%s=%s\n", shownAfter[i].first.c_str(), shownAfter[i].second.c_str());
        }
        if (!changed) std::printf("%s written with the values in force\n", path.c_str());
    } else if (write) {
        std::printf("nothing changed\n");
    }
    if (command.show)
        for (const auto& [key, value] : shownAfter)
            std::printf("%s=%s\n", key.c_str(), value.c_str());
    std::fflush(stdout);
    return 0;
}

}  // namespace qv
