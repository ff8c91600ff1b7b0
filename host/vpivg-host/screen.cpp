// The live view: one screen, redrawn in place, that fits the terminal whatever its size. The
// gates take what they need, the log pane the rows that are left; on a small terminal the banner
// goes first, then gate rows that do not fit are summed up in one line.
#include <cstdio>
#include <cstring>
#include <sstream>

#include "host.hpp"
#include "terminal.hpp"
#include "formatting.hpp"

namespace vpihost {

namespace {

constexpr int kLeastLogRows = 3;
// The banner is shown only where it leaves the log this much: the log is what a person needs.
constexpr int kLogRowsBeforeBanner = 8;
constexpr int kLeastColumns = 40;

}  // namespace

std::vector<std::string> Host::ScreenRows(int rows, int columns, bool final) {
    auto now = std::chrono::steady_clock::now();
    // The last column stays empty: writing there makes some terminals wrap at once.
    const int width = std::max(columns, kLeastColumns) - 1;
    std::vector<std::string> banner;
    {
        std::istringstream lines(utf8_ ? Cp437ToUtf8(banner_) : banner_);
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty()) banner.push_back(line);
        }
    }
    double elapsed = std::chrono::duration<double>(now - runStart_).count();
    char head[256];
    std::snprintf(head, sizeof head, "vpivg-host  scan %d ms  poll %s  recovery %s  %.0f s%s",
                  config_.scanPeriodMs,
                  config_.pollPeriodMs ? (std::to_string(config_.pollPeriodMs) + " ms").c_str() : "off",
                  config_.recovery ? "on" : "off", elapsed, final ? "  (stopping)" : "  (Ctrl-C stops)");

    std::vector<std::string> body{head};
    // The broker's line, right under the heading: whether values leave this host at all.
    for (const auto& sink : sinks_) {
        std::string line = sink->StatusLine();
        if (!line.empty()) body.push_back(line);
    }
    {
        std::lock_guard lock(mutex_);
        for (const Vpi& vpi : vpis_) {
            std::string state = !vpi.started ? (vpi.portFailed ? "\x1b[31mPORT FAILED\x1b[0m" : "not started")
                                : vpi.link == 1 ? "\x1b[32mUP\x1b[0m"
                                : vpi.link == 0 ? "\x1b[31mDOWN\x1b[0m"
                                                : "waiting";
            char age[32] = "none yet";
            if (vpi.anyReport) {
                std::snprintf(age, sizeof age, "%.1f s ago", std::chrono::duration<double>(now - vpi.lastReport).count());
            }
            char text[256];
            std::snprintf(text, sizeof text, "\x1b[1mVPI %d\x1b[0m %s  %s  reports %llu, last %s  polls %llu%s",
                          vpi.config.number, vpi.config.port.c_str(), state.c_str(),
                          static_cast<unsigned long long>(vpi.packets), age,
                          static_cast<unsigned long long>(vpi.polls),
                          vpi.tries ? ("  tries " + std::to_string(vpi.tries)).c_str() : "");
            body.push_back("");
            body.push_back(text);
            int currentStream = -1;
            std::string row;
            auto flush = [&] {
                if (!row.empty()) body.push_back(row);
                row.clear();
            };
            for (const BoundGate& g : vpi.gates) {
                if (!g.shown) continue;
                if (g.stream != currentStream) {
                    flush();
                    currentStream = g.stream;
                    char s[16];
                    std::snprintf(s, sizeof s, " I%02d", g.stream);
                    row = s;
                }
                char cell[64];
                std::string v = !g.accepted ? "refused" : g.haveValue ? FormatGateValue(g.value, g.type) : "-";
                std::snprintf(cell, sizeof cell, " P%02d=%-8s", g.param, v.c_str());
                if (static_cast<int>(row.size() + std::strlen(cell)) > width) {
                    flush();
                    row = "    ";
                }
                row += cell;
            }
            flush();
        }
    }
    body.push_back("");
    std::string logHead = std::string("\x1b[2m-- log") + (config_.trace ? " (with trace)" : "") +
                          (config_.log.empty() ? "" : ", all of it in " + config_.log) + " --\x1b[0m";

    // What fits: body and log heading, and at least a few log rows; the banner only if room.
    int fixed = static_cast<int>(body.size()) + 1;
    if (fixed + kLeastLogRows > rows) {
        int keep = std::max(1, rows - 1 - kLeastLogRows - 1);
        if (keep < static_cast<int>(body.size())) {
            int cut = static_cast<int>(body.size()) - keep;
            body.resize(static_cast<std::size_t>(keep));
            body.push_back("  ... " + std::to_string(cut) + " more rows; a taller terminal shows them");
        }
        fixed = static_cast<int>(body.size()) + 1;
    }
    std::vector<std::string> screen;
    if (fixed + static_cast<int>(banner.size()) + kLogRowsBeforeBanner <= rows) screen = banner;
    screen.insert(screen.end(), body.begin(), body.end());
    screen.push_back(logHead);
    int logRows = std::max(0, rows - static_cast<int>(screen.size()));
    for (const std::string& l : events_.Pane(static_cast<std::size_t>(logRows))) screen.push_back(l);
    if (static_cast<int>(screen.size()) > rows) screen.resize(static_cast<std::size_t>(std::max(rows, 1)));
    for (std::string& l : screen) l = FitWidth(l, width);
    return screen;
}

void Host::Draw(bool final) {
    TerminalSize size = CurrentTerminalSize();
    std::vector<std::string> rows = ScreenRows(size.rows, size.columns, final);
    // Home, each row cleared to its end, no line feed after the last row: the screen never
    // scrolls, whatever was drawn before.
    std::string screen = "\x1b[H";
    for (std::size_t i = 0; i < rows.size(); ++i) {
        screen += rows[i];
        screen += "\x1b[K";
        if (i + 1 < rows.size()) screen += "\r\n";
    }
    screen += "\x1b[J";
    out_ << screen << std::flush;
}

}  // namespace vpihost
