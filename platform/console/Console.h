#pragma once
// The console of the simulated platform: a line-based command language that
// drives the stand-ins' control surfaces (keyboard, status item and menus,
// audio hardware, screens, clock) and shows what the program made of it.
// The `lumbrel` program reads it from standard input or from a script file.
//
// Before and after every command the console lets the program react: it
// delivers the audio hardware's pending callbacks, runs the main queue, and
// waits until the work on other queues and the requests in flight have
// finished, for at most the patience in real time (20 s, or
// $LUMBREL_CONSOLE_PATIENCE seconds); when they have not, it says so in one
// line. So the same input gives the same output. Time is the simulated
// clock; `wait` moves it on, settling after every step, so the program's
// real work keeps pace with it. While a console exists,
// each alert is printed as it comes up and closed with its first button.

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace sim {

class LogCapture;

class Console {
  public:
    using Arguments = std::vector<std::string>;
    // Answers an error message, or "" on success.
    using Handler = std::function<std::string(const Arguments&)>;

    explicit Console(std::ostream& out);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Runs one line. False once the person asked to quit. A bad command gets
    // a message and changes nothing.
    bool execute(const std::string& line);
    // Runs every line of the file, echoing each; false when the file cannot
    // be read or a command failed.
    bool runScript(const std::string& path);
    bool quitRequested() const { return quit_; }
    int failures() const { return failures_; }

    // Further commands of the program (windows, preferences, ...). A later
    // registration of a name replaces the earlier one.
    void addCommand(const std::string& name, const std::string& usage, const std::string& help,
                    Handler handler);
    // Extra lines of the `state` command.
    void addStateSection(std::function<void(std::ostream&)> section);

    // Lets the program react to what just happened and waits until its work
    // has finished, for at most the patience; false when it had not.
    static bool settle();
    static bool settleUntil(std::chrono::steady_clock::time_point deadline);
    // How long a command waits for the program's work, in real time.
    static std::chrono::milliseconds patience();
    static void setPatience(std::chrono::milliseconds patience);

    // One line to the person: what a command did. Every command that
    // changes something says it.
    void say(const std::string& line);

  private:
    struct Command {
        std::string usage;
        std::string help;
        Handler handler;
    };
    void addBuiltIns();
    std::string state();
    void sayStillBusy();

    std::ostream& out_;
    std::map<std::string, Command> commands_;
    std::vector<std::function<void(std::ostream&)>> stateSections_;
    std::unique_ptr<LogCapture> log_;
    bool quit_ = false;
    int failures_ = 0;
    std::chrono::steady_clock::time_point commandDeadline_{};
};

// Splits a command line into words; double quotes group words.
std::vector<std::string> splitCommandLine(const std::string& line);

}  // namespace sim
