// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up as a user sees it: from process start to the main window mapped, measured from
// outside by polling the X server every millisecond. Run under Xvfb:
//
//   xvfb-run -a -s "-screen 0 1024x768x24" build/bench/bench_mapped [--runs=N] [--snippets=N]
//
// Starts, in turn, the floor (a minimal Qt program showing one QScintilla editor), the
// program with an empty collection and the program with the large one; the main window is
// mapped after its language list is filled. Target 1: large at most 1.1 times empty, empty
// at most 1.3 times the floor, and the empty start through the launcher (set-up with nothing
// to do, then the program) at most 1.15 times the program started directly (medians).

#include "BenchSupport.h"
#include "data/setup/Setup.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <memory>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#include <xcb/xcb.h>

namespace {

double nowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    auto* reply =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(qstrlen(name)), name), nullptr);
    const xcb_atom_t a = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    free(reply);
    return a;
}

// A viewable top-level window of pid whose title starts with prefix.
bool mapped(xcb_connection_t* c, xcb_window_t root, xcb_atom_t pidAtom, pid_t pid,
            const QByteArray& prefix) {
    auto* tree = xcb_query_tree_reply(c, xcb_query_tree(c, root), nullptr);
    if (!tree)
        return false;
    bool found = false;
    const xcb_window_t* children = xcb_query_tree_children(tree);
    for (int i = 0; i < xcb_query_tree_children_length(tree) && !found; ++i) {
        auto* attr =
            xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, children[i]), nullptr);
        const bool viewable = attr && attr->map_state == XCB_MAP_STATE_VIEWABLE;
        free(attr);
        if (!viewable)
            continue;
        auto* owner = xcb_get_property_reply(
            c, xcb_get_property(c, 0, children[i], pidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr);
        const bool ours = owner && xcb_get_property_value_length(owner) == 4 &&
                          *static_cast<uint32_t*>(xcb_get_property_value(owner)) == uint32_t(pid);
        free(owner);
        if (!ours)
            continue;
        auto* name = xcb_get_property_reply(
            c, xcb_get_property(c, 0, children[i], XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 0, 64),
            nullptr);
        if (name) {
            const QByteArray title(static_cast<const char*>(xcb_get_property_value(name)),
                                   xcb_get_property_value_length(name));
            found = title.startsWith(prefix);
        }
        free(name);
    }
    free(tree);
    return found;
}

// Milliseconds from fork to the window mapped; the process is then ended. Through the
// launcher, set-up runs first and the program then takes the launcher's process, as
// bin/varozidi does.
double startOnce(xcb_connection_t* c, xcb_window_t root, xcb_atom_t pidAtom, const QString& program,
                 const QByteArray& home, const QByteArray& prefix, bool throughLauncher = false) {
    const QByteArray path = QFile::encodeName(program);
    const QByteArray setup = QByteArrayLiteral(VAROZIDI_SETUP);
    const double start = nowMs();
    const pid_t pid = fork();
    if (pid == 0) {
        setenv("XDG_DATA_HOME", home.constData(), 1);
        setenv("XDG_STATE_HOME", (home + "/state").constData(), 1);
        if (throughLauncher)
            execl("/bin/sh", "sh", "-c", "\"$0\" >/dev/null; exec \"$1\"", setup.constData(),
                  path.constData(), static_cast<char*>(nullptr));
        else
            execl(path.constData(), path.constData(), static_cast<char*>(nullptr));
        _exit(127);
    }
    double at = -1;
    while (nowMs() - start < 20000) {
        if (mapped(c, root, pidAtom, pid, prefix)) {
            at = nowMs() - start;
            break;
        }
        usleep(1000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return at;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv) {
    int runs = 10;
    for (int i = 1; i < argc; ++i)
        if (QByteArray(argv[i]).startsWith("--runs="))
            runs = std::max(1, atoi(argv[i] + 7));
    bench::Options o = bench::TakeOptions(argc, argv);
    QCoreApplication app(argc, argv);
    o.collection = bench::CachedCollection(o.cache, o.shape);

    QTemporaryDir emptyHome, largeHome;
    varozidi::setup::InstallUserData(emptyHome.path() + QStringLiteral("/KZQ/Varozidi/"));
    const QString large = largeHome.path() + QStringLiteral("/KZQ/Varozidi/");
    QDir().mkpath(large);
    QFile::link(o.collection, large + QStringLiteral("varozidi.mdb"));
    varozidi::setup::InstallUserData(large);

    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "bench_mapped: no X display\n");
        return 1;
    }
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    const xcb_atom_t pidAtom = atom(c, "_NET_WM_PID");
    const QString dir = QCoreApplication::applicationDirPath();
    const QString floorProgram = dir + QStringLiteral("/bench_floor");
    const QString program = QStringLiteral(VAROZIDI_PROGRAM);
    std::vector<double> floor, empty, full, launched;
    const QByteArray emptyPath = QFile::encodeName(emptyHome.path());
    const QByteArray largePath = QFile::encodeName(largeHome.path());
    // One unmeasured start of each warms the file cache.
    startOnce(c, root, pidAtom, floorProgram, emptyPath, "floor");
    startOnce(c, root, pidAtom, program, largePath, "KZQ Varozidi");
    for (int i = 0; i < runs; ++i) {
        floor.push_back(startOnce(c, root, pidAtom, floorProgram, emptyPath, "floor"));
        empty.push_back(startOnce(c, root, pidAtom, program, emptyPath, "KZQ Varozidi"));
        full.push_back(startOnce(c, root, pidAtom, program, largePath, "KZQ Varozidi"));
        launched.push_back(startOnce(c, root, pidAtom, program, emptyPath, "KZQ Varozidi", true));
    }
    xcb_disconnect(c);
    if (*std::min_element(floor.begin(), floor.end()) < 0 ||
        *std::min_element(empty.begin(), empty.end()) < 0 ||
        *std::min_element(full.begin(), full.end()) < 0 ||
        *std::min_element(launched.begin(), launched.end()) < 0) {
        std::fprintf(stderr, "bench_mapped: a window never showed\n");
        return 1;
    }
    char detail[200];
    std::snprintf(detail, sizeof detail,
                  "%.0f ms with %d snippets against %.0f ms empty (median of %d)", median(full),
                  o.shape.snippets, median(empty), runs);
    bench::Target("1 start-up, large against empty", median(full) / median(empty), 1.1, detail);
    std::snprintf(detail, sizeof detail,
                  "%.0f ms empty against %.0f ms for Qt with one QScintilla editor (median of %d)",
                  median(empty), median(floor), runs);
    bench::Target("1 start-up, empty against the floor", median(empty) / median(floor), 1.3,
                  detail);
    std::snprintf(detail, sizeof detail,
                  "%.0f ms through the launcher against %.0f ms directly (median of %d)",
                  median(launched), median(empty), runs);
    bench::Target("1 start-up, through the launcher against directly",
                  median(launched) / median(empty), 1.15, detail);
    return 0;
}
