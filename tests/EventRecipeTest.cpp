// The README's EventCmd recipes, taken from the README as written, run by the daemon on
// the simulated board: the mail through a recording sendmail, the Home Assistant webhook
// through curl to a listener on 127.0.0.1, the shutdown message through a recording wall.

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "SimRun.h"

extern char** environ;

namespace {

using std::chrono::milliseconds;

constexpr milliseconds LONG_WAIT{30000};

// The indented block of README.md that starts "#!/bin/sh" and "# <path>", unindented.
std::string recipe(std::string const& path) {
    std::ifstream in(NUVEXMON_SOURCE_DIR "/README.md");
    std::string const marker = "    # " + path;
    std::vector<std::string> lines;
    std::string previous;
    bool inside = false;
    for (std::string line; std::getline(in, line);) {
        if (!inside && line == marker && previous == "    #!/bin/sh") {
            inside = true;
            lines.push_back("#!/bin/sh");
        }
        if (inside) {
            if (!line.empty() && line.rfind("    ", 0) != 0) {
                break;
            }
            lines.push_back(line.empty() ? line : line.substr(4));
        }
        previous = line;
    }
    while (!lines.empty() && lines.back().empty()) {
        lines.pop_back();
    }
    std::string text;
    for (std::string const& line : lines) {
        text += line + "\n";
    }
    return text;
}

// Writes an executable file into the sandbox and returns its path.
std::string executable(SimRun const& run, std::string const& name, std::string const& text) {
    std::string const file = run.writeFile(name, text);
    EXPECT_EQ(::chmod(file.c_str(), 0755), 0);
    return file;
}

template <typename Condition>
bool waitFor(Condition const& condition) {
    auto const deadline = std::chrono::steady_clock::now() + LONG_WAIT;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

std::size_t count(std::string const& text, std::string const& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

std::string hostName() {
    char name[256] = {};
    ::gethostname(name, sizeof(name) - 1);
    return name;
}

// A power failure that the countdown ends after two runs.
void startPowerFailure(SimRun& run, std::string const& script) {
    run.set("EventCmd", script);
    run.set("ShutdownTimer", "2");
    run.set("PowerOffTimer", "25");
    run.setScenario("status 0x09\npoll 3 status 0x02\n");
    run.start();
}

TEST(EventRecipe, MailOnPowerFailureAndReturn) {
    SimRun run;
    std::string const script = recipe("/usr/local/sbin/nuvexmon-mail");
    ASSERT_NE(script.find("sendmail -t"), std::string::npos) << script;
    executable(run, "bin/sendmail", "#!/bin/sh\n{ echo \"sendmail $*\"; cat; } >> mails.txt\n");
    run.set("EventCmd", executable(run, "nuvexmon-mail", script));
    run.set("ShutdownTimer", "30");
    // Power back, a failed poll (commlost and commok: no mail), a second outage.
    run.setScenario(
        "status 0x09\npoll 3 status 0x02\npoll 9 status 0x09\npoll 11..11 absent\n"
        "poll 13 status 0x00\n");
    run.start();
    ASSERT_TRUE(run.waitForPoll(16, LONG_WAIT));
    ASSERT_TRUE(waitFor([&] { return count(run.readFile("mails.txt"), "\nBattery: ") == 3; }));
    EXPECT_TRUE(run.stop().exitedWith(0));
    std::string const mail = "sendmail -t\nTo: root\nSubject: " + hostName() + ": (M)\n\n(M).\n" +
                             "Battery: \\d+ %, 4.10 V.\n";
    std::string const failure = R"(Power failure: on battery for \d+ s, shutdown in \d+ s)";
    std::string const back = R"(Power back after \d+ s on battery)";
    // The first outage, its end, the second outage.
    std::regex const expected(std::regex_replace(mail, std::regex(R"(\(M\))"), failure) +
                              std::regex_replace(mail, std::regex(R"(\(M\))"), back) +
                              std::regex_replace(mail, std::regex(R"(\(M\))"), failure));
    std::string const mails = run.readFile("mails.txt");
    EXPECT_TRUE(std::regex_match(mails, expected)) << mails;
}

TEST(EventRecipe, HomeAssistantWebhook) {
    if (::access("/usr/bin/curl", X_OK) != 0 || ::access("/usr/bin/python3", X_OK) != 0) {
        GTEST_SKIP() << "needs curl and /usr/bin/python3 (packages curl, python3)";
    }
    SimRun run;
    // The listener answers each POST and keeps its path and body, one line each.
    std::string const listener =
        run.writeFile("listener.py",
                      "import http.server, os, sys\n"
                      "class Hook(http.server.BaseHTTPRequestHandler):\n"
                      "    def do_POST(self):\n"
                      "        body = self.rfile.read(int(self.headers['Content-Length']))\n"
                      "        with open(sys.argv[1], 'ab') as out:\n"
                      "            out.write(self.path.encode() + b' ' + body + b'\\n')\n"
                      "        self.send_response(200)\n"
                      "        self.end_headers()\n"
                      "    def log_message(self, *args):\n"
                      "        pass\n"
                      "server = http.server.HTTPServer(('127.0.0.1', 0), Hook)\n"
                      "with open(sys.argv[2] + '.new', 'w') as out:\n"
                      "    out.write(str(server.server_port))\n"
                      "os.rename(sys.argv[2] + '.new', sys.argv[2])\n"
                      "server.serve_forever()\n");
    std::string const posts = run.path("posts.txt");
    std::string const port = run.path("port.txt");
    char* argv[] = {const_cast<char*>("/usr/bin/python3"), const_cast<char*>(listener.c_str()),
                    const_cast<char*>(posts.c_str()), const_cast<char*>(port.c_str()), nullptr};
    pid_t server = -1;
    ASSERT_EQ(::posix_spawn(&server, argv[0], nullptr, nullptr, argv, environ), 0);
    struct Stop {
        pid_t pid;
        ~Stop() {
            ::kill(pid, SIGTERM);
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
    } const stop{server};
    ASSERT_TRUE(waitFor([&] { return !run.readFile("port.txt").empty(); }));

    run.setEnv("HASS_URL", "http://127.0.0.1:" + run.readFile("port.txt"));
    startPowerFailure(run,
                      executable(run, "nuvexmon-hass", recipe("/usr/local/sbin/nuvexmon-hass")));
    ASSERT_TRUE(waitFor([&] { return count(run.readFile("posts.txt"), "\n") == 2; }));
    EXPECT_TRUE(run.stop().exitedWith(0));
    std::regex const expected(
        R"(/api/webhook/nuvexmon-ups \{"event": "onbattery", "message": "Power failure: )"
        R"(on battery for \d+ s, shutdown in \d+ s", "charge": "\d+", "shutdown_in": "\d+"\}
/api/webhook/nuvexmon-ups \{"event": "shutdown", "message": "Shutdown started at the end )"
        R"(of the countdown: the board cuts the power in 25 s", "charge": "\d+", )"
        R"("shutdown_in": "0"\}
)");
    std::string const received = run.readFile("posts.txt");
    EXPECT_TRUE(std::regex_match(received, expected)) << received;
}

TEST(EventRecipe, MessageOnShutdown) {
    SimRun run;
    executable(run, "bin/wall", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> wall.txt\n");
    startPowerFailure(run,
                      executable(run, "nuvexmon-wall", recipe("/usr/local/sbin/nuvexmon-wall")));
    ASSERT_TRUE(run.waitForLogLine("[NOTICE] System shutdown!", LONG_WAIT));
    ASSERT_TRUE(waitFor([&] { return !run.readFile("wall.txt").empty(); }));
    ASSERT_TRUE(run.waitForPoll(10, LONG_WAIT));
    EXPECT_TRUE(run.stop().exitedWith(0));
    EXPECT_EQ(run.readFile("wall.txt"),
              "UPS: the system shuts down now (countdown); the power goes off in 25 seconds.\n");
}

}  // namespace
