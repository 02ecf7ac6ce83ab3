// SPDX-License-Identifier: MIT
// The label API apart from HTTP: what a path asks for, which answer an
// Accept header gets, the warnings header, and the answers' statuses; and
// how the service shares its workers and connections among clients.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <sys/socket.h>
#include <unistd.h>

#include <set>
#include <vector>

// The printer's own table, not the tests' table of the same name.
#include <command_table.h>

#include "fair_queue.h"
#include "http_guard.h"
#include "label_api.h"

namespace {

using quillbar::tool::Format;
using quillbar::tool::LabelPath;

TEST(LabelApi, PathsSayDensityMediaIndexAndStream) {
    struct Row {
        const char *path;
        bool ok;
        int dpmm, width, length;
        long index;  // -1: none
        const char *stream;
    };
    const Row rows[] = {
        {"/v1/printers/8dpmm/labels/4x6/", true, 8, 812, 1218, -1, ""},
        {"/v1/printers/8dpmm/labels/4x6", true, 8, 812, 1218, -1, ""},
        {"/v1/printers/12dpmm/labels/4x6/2/", true, 12, 1200, 1800, 2, ""},
        {"/v1/printers/8dpmm/labels/2.25x1.25/0/", true, 8, 457, 254, 0, ""},
        // A GET's stream: slashes and escapes, NUL bytes too.
        {"/v1/printers/8dpmm/labels/4x6/0/N%0AA1/2%00", true, 8, 812, 1218, 0, "N\nA1/2\0"},
        {"/v1/printers/6dpmm/labels/4x6/", false, 0, 0, 0, -1, ""},
        {"/v1/printers/8dpmm/label/4x6/", false, 0, 0, 0, -1, ""},
        {"/v1/printers/8dpmm/labels/4/", false, 0, 0, 0, -1, ""},
        {"/v1/printers/8dpmm/labels/0x6/", false, 0, 0, 0, -1, ""},
        {"/v1/printers/8dpmm/labels/4.1.1x6/", false, 0, 0, 0, -1, ""},
        {"/v1/printers/8dpmm/labels/21x6/", false, 0, 0, 0, -1, ""},   // wider than any label
        {"/v1/printers/8dpmm/labels/4x81/", false, 0, 0, 0, -1, ""},   // longer than any
        {"/v1/printers/8dpmm/labels/4x6/-1/", false, 0, 0, 0, -1, ""},
        {"/v1/printers/8dpmm/labels/4x6/9999999999/", false, 0, 0, 0, -1, ""},
        {"/v1/printers/8dpmm/labels/4x6/0/%4", false, 0, 0, 0, -1, ""},
        {"/v1/printers/8dpmm/labels/4x6/0/%zz", false, 0, 0, 0, -1, ""},
        {"/v2/printers/8dpmm/labels/4x6/", false, 0, 0, 0, -1, ""},
    };
    for (const Row &r : rows) {
        LabelPath got;
        std::string why;
        const bool ok = quillbar::tool::parse_label_path(r.path, got, why);
        EXPECT_EQ(ok, r.ok) << r.path << ": " << why;
        if (!ok) {
            EXPECT_FALSE(why.empty()) << r.path;
            continue;
        }
        EXPECT_EQ(got.dots_per_mm, r.dpmm) << r.path;
        EXPECT_EQ(got.media_width, r.width) << r.path;
        EXPECT_EQ(got.media_length, r.length) << r.path;
        EXPECT_EQ(got.index.value_or(-1), r.index) << r.path;
        const std::string stream(r.stream, std::string(r.path).find("%00") != std::string::npos ? 7 : std::strlen(r.stream));
        EXPECT_EQ(got.stream, stream) << r.path;
    }
}

TEST(LabelApi, AcceptGetsTheBestAnswerItTakes) {
    struct Row {
        const char *accept;
        int format;  // -1: none of them
    };
    const Row rows[] = {
        {nullptr, static_cast<int>(Format::png)},
        {"", static_cast<int>(Format::png)},
        {"*/*", static_cast<int>(Format::png)},
        {"application/pdf", static_cast<int>(Format::pdf)},
        {"Application/JSON", static_cast<int>(Format::json)},
        {"text/html, application/json;q=0.9, */*;q=0.1", static_cast<int>(Format::json)},
        {"image/png;q=0.5, application/pdf", static_cast<int>(Format::pdf)},
        {"application/pdf;q=0, image/*", static_cast<int>(Format::png)},
        {"text/html", -1},
        {"image/png;q=0", -1},
    };
    for (const Row &r : rows) {
        const auto got = quillbar::tool::choose_format(r.accept);
        EXPECT_EQ(got ? static_cast<int>(*got) : -1, r.format) << (r.accept ? r.accept : "(none)");
    }
}

TEST(LabelApi, OnlyThisMachinesNamesAreLocal) {
    const struct {
        const char *host;
        bool local;
    } rows[] = {{nullptr, true},          {"localhost", true},  {"LocalHost:8080", true}, {"localhost.", true},
                {"127.0.0.1:80", true},   {"[::1]:80", true},   {"evil.example", false},  {"localhost.evil", false},
                {"evil-localhost", false}, {"127.0.0.1.nip.io", false}, {"[::2]", false}};
    for (const auto &r : rows) EXPECT_EQ(quillbar::tool::local_host_name(r.host), r.local) << (r.host ? r.host : "(none)");
}

TEST(LabelApi, WarningsAreWholeAndSafeInAHeader) {
    const std::string stream = "N\nA1,2,0,9,1,1,N,\"x\"\nB|bad\n";
    const std::vector<quillbar::preview::Diagnostic> diagnostics = {
        {2, "A: field 4 is not a font", 1, 2, "A"},
        {21, "unknown command: 'B|bad\xff'", 1, 3, ""},
    };
    std::size_t left_out = 9;
    EXPECT_EQ(quillbar::tool::warnings_header(diagnostics, stream, 4000, &left_out),
              "2|18|A|4|A: field 4 is not a font|21|5|||unknown command: 'B/bad?'");
    EXPECT_EQ(left_out, 0u);
    // Only whole warnings, within the size given; the rest counted.
    EXPECT_EQ(quillbar::tool::warnings_header(diagnostics, stream, 40, &left_out), "2|18|A|4|A: field 4 is not a font");
    EXPECT_EQ(left_out, 1u);
    EXPECT_EQ(quillbar::tool::warnings_header(diagnostics, stream, 10, &left_out), "");
    EXPECT_EQ(left_out, 2u);
}

TEST(LabelApi, AnswersSayWhatTheStreamPrinted) {
    const std::string two = "N\nq200\nQ100,24\nLO0,0,10,10\nP1\nP1\n";
    struct Row {
        Format format;
        long index;  // -1: none
        long max_labels;
        int status;
        const char *type;
    };
    const Row rows[] = {
        {Format::png, 1, 1000, 200, "image/png"},
        {Format::png, -1, 1000, 200, "image/png"},  // label 0
        {Format::png, 2, 1000, 404, "text/plain; charset=utf-8"},
        {Format::png, 1, 1, 404, "text/plain; charset=utf-8"},  // printed, not rendered
        {Format::pdf, -1, 1000, 200, "application/pdf"},
        {Format::pdf, 5, 1000, 404, "text/plain; charset=utf-8"},
        {Format::json, 7, 1000, 200, "application/json"},  // the report is of every label
    };
    for (const Row &r : rows) {
        LabelPath path;
        path.media_width = 812;
        path.media_length = 1218;
        if (r.index >= 0) path.index = r.index;
        quillbar::tool::RenderLimits limits;
        limits.max_labels = r.max_labels;
        const quillbar::tool::Answer a = quillbar::tool::render(two, path, r.format, limits);
        EXPECT_EQ(a.status, r.status) << static_cast<int>(r.format) << " " << r.index << ": " << a.body;
        EXPECT_EQ(a.content_type, r.type);
        EXPECT_FALSE(a.body.empty());
        bool counted = false;
        for (const auto &[name, value] : a.headers) counted |= name == "X-Total-Count" && value == "2";
        EXPECT_TRUE(counted) << "X-Total-Count is the labels printed, rendered or not";
    }
    // Out of time: stopped between lines, and said so.
    LabelPath path;
    path.media_width = 812;
    path.media_length = 1218;
    quillbar::tool::RenderLimits none;
    none.time = std::chrono::milliseconds(-1);
    const quillbar::tool::Answer late = quillbar::tool::render(two, path, Format::png, none);
    EXPECT_EQ(late.status, 422);
    EXPECT_NE(late.body.find("took longer than"), std::string::npos) << late.body;
}

}  // namespace

// Each label's elements in the JSON report: command, stream line, box and
// data, turned with the label, and one label's objects only.
TEST(LabelApi, ElementsSayWhatEachLineDrew) {
    struct Row {
        const char *what;
        const char *stream;
        long label;
        const char *expected;  // command@line x,y wxh "data", one after another
    };
    const Row rows[] = {
        {"a box, a line and text", "N\nq200\nQ100,24\nX10,10,2,110,60\nLO0,80,50,4\nA20,20,0,1,1,1,N,\"Hi\"\nP1\n", 0,
         "X@4 10,10 100x50 \"\" LO@5 0,80 50x4 \"\" A@6 22,23 15x8 \"Hi\" "},  // the ink of the glyphs, not their cells
        {"turned with ZB", "N\nZB\nq200\nQ100,24\nLO0,0,50,4\nP1\n", 0, "LO@5 150,96 50x4 \"\" "},
        {"N starts the next label's list", "N\nq200\nQ100,24\nLO0,0,8,8\nP1\nN\nLO1,1,4,4\nP1\n", 1,
         "LO@7 1,1 4x4 \"\" "},
        {"a form's variable, as printed", "FS\"F\"\nV00,5,N,\"v\"\nq200\nQ100,24\nA0,0,0,1,1,1,N,V00\nFE\nFR\"F\"\n?\nabc\nP1\n",
         0, "A@5 2,3 24x8 \"abc\" "},
    };
    for (const Row &row : rows) {
        LabelPath path;
        path.media_width = 812;
        path.media_length = 1218;
        const quillbar::tool::Answer a = quillbar::tool::render(row.stream, path, Format::json, {});
        ASSERT_EQ(a.status, 200) << row.what << ": " << a.body;
        const auto report = nlohmann::json::parse(a.body);
        ASSERT_GT(report["labels"].size(), static_cast<std::size_t>(row.label)) << row.what << ": " << a.body;
        std::string got;
        for (const auto &e : report["labels"][row.label]["elements"])
            got += e["command"].get<std::string>() + "@" + std::to_string(e["line"].get<long>()) + " " +
                   std::to_string(e["x"].get<long>()) + "," + std::to_string(e["y"].get<long>()) + " " +
                   std::to_string(e["width"].get<long>()) + "x" + std::to_string(e["height"].get<long>()) + " \"" +
                   e["data"].get<std::string>() + "\" ";
        EXPECT_EQ(got, row.expected) << row.what;
    }
}

// The page's help is the printer's: a row for every command it knows, and
// none for a command it does not.
TEST(LabelApi, EveryCommandHasItsHelp) {
    std::size_t count = 0;
    const quillbar::preview::CommandEntry *entries = quillbar::preview::command_entries(count);
    std::set<std::string> known, helped;
    for (std::size_t i = 0; i < count; ++i) known.insert(entries[i].letters);
    for (const auto &row : nlohmann::json::parse(quillbar::tool::commands_json())) {
        helped.insert(row["letters"].get<std::string>());
        // Its example is a line of its own command.
        const quillbar::preview::CommandEntry *entry = quillbar::preview::find_command(row["example"]);
        EXPECT_TRUE(entry && row["letters"] == entry->letters) << row["example"];
    }
    EXPECT_EQ(known, helped);
}

// Whose render a free worker takes: the client with fewest running, the
// earliest among equals, and never a client's last free worker.
TEST(ServiceShares, WorkersGoToTheClientWithFewestRunning) {
    struct Row {
        const char *what;
        int workers;
        const char *pushed;  // one letter a request, its client
        const char *taken;   // in the order workers take them; '.' none
    };
    const Row rows[] = {
        {"one client keeps one worker free", 3, "aaaaaa", "aa."},
        {"a later client goes before a second of the first", 3, "aaaab", "aba"},
        {"two clients alternate", 4, "aaabbb", "abab"},
        {"one worker is all a client's", 1, "aa", "a."},
    };
    for (const Row &row : rows) {
        quillbar::tool::FairQueue<int> queue(row.workers);
        for (const char *p = row.pushed; *p; ++p) queue.push(std::string(1, *p), static_cast<int>(p - row.pushed));
        std::string taken;
        for (std::size_t i = 0; i < std::strlen(row.taken); ++i) {
            const auto next = queue.take();
            taken += next ? next->first : ".";
        }
        EXPECT_EQ(taken, row.taken) << row.what;
    }
    // A finished render frees its client's share.
    quillbar::tool::FairQueue<int> queue(2);
    queue.push("a", 1), queue.push("a", 2);
    ASSERT_TRUE(queue.take());
    EXPECT_FALSE(queue.take());
    queue.finished("a");
    EXPECT_EQ(queue.take()->second, 2);
}

// At a cap, the connection let go is the one waiting longest for a head,
// from the address at its cap; never one the service works for.
TEST(ServiceShares, ACapLetsGoTheLongestWaitingHead) {
    using quillbar::tool::ConnectionGuard;
    const auto t0 = quillbar::tool::Clock::now();
    const auto at = [t0](int s) { return t0 + std::chrono::seconds(s); };
    ConnectionGuard::Limits limits;
    limits.total = 3;
    limits.per_address = 2;
    std::vector<ConnectionGuard::Reason> let_go;
    ConnectionGuard guard(limits, [&let_go](ConnectionGuard::Reason why) { let_go.push_back(why); });
    int fds[5][2];
    for (auto &pair : fds) ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    ConnectionGuard::Peer *working = guard.opened(fds[0][0], "a", at(0));
    guard.working(working, at(0));
    ConnectionGuard::Peer *waiting = guard.opened(fds[1][0], "a", at(1));
    // A third from a: its address is at its cap; the head waiting is let go.
    ConnectionGuard::Peer *third = guard.opened(fds[2][0], "a", at(2));
    EXPECT_FALSE(working->let_go);
    EXPECT_TRUE(waiting->let_go);
    EXPECT_FALSE(third->let_go);
    // From b: the total is not over (a let-go connection does not count).
    ConnectionGuard::Peer *b = guard.opened(fds[3][0], "b", at(3));
    EXPECT_FALSE(b->let_go);
    EXPECT_EQ(guard.connections(), 3u);
    // Over the total, with a's third the longest waiting head.
    ConnectionGuard::Peer *c = guard.opened(fds[4][0], "c", at(4));
    EXPECT_TRUE(third->let_go);
    EXPECT_FALSE(c->let_go);
    // Let go is shut down: its other end reads the end.
    char byte;
    EXPECT_EQ(read(fds[1][1], &byte, 1), 0);
    // Deadlines: b's head is due 10 s after it came.
    EXPECT_FALSE(b->let_go);
    guard.enforce(at(14), 1000);
    EXPECT_TRUE(b->let_go);
    EXPECT_FALSE(working->let_go);
    using Reason = ConnectionGuard::Reason;
    // b and c were both due at 14 s.
    EXPECT_EQ(let_go, (std::vector<Reason>{Reason::room, Reason::room, Reason::deadline, Reason::deadline}));
    for (auto &pair : fds) close(pair[0]), close(pair[1]);
}
