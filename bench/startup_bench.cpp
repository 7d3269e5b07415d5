// The processor time the window takes until it is first on the screen,
// against a bare Qt window of the same size with as many widgets of the same
// kinds. Run under an X server (Xvfb will do):
//
//   startup_bench [--rounds N] PROGRAM
//
// Each round starts PROGRAM and this bench's own bare window (--bare) with an
// empty home, waits until the window is mapped (xdotool), lets it settle and
// reads the processor time of all its threads (/proc schedstat, nanoseconds),
// then ends it. Prints the medians.
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleFactory>
#include <QWidget>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

// The main window's make-up: 13 labels, 19 text boxes, 7 buttons, 1 combo
// box, 8 option buttons in 1 frame, 797 x 517 pixels.
int bareWindow(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare"));
    window.setFixedSize(797, 517);
    const QString text = QStringLiteral("バックアップ先");
    int y = 0;
    const auto place = [&](QWidget *w, int x) {
        w->setGeometry(x, y % 480, 180, 22);
        y += 24;
    };
    for (int i = 0; i < 13; ++i)
        place(new QLabel(text, &window), 0);
    for (int i = 0; i < 19; ++i)
        place(new QLineEdit(text, &window), 200);
    for (int i = 0; i < 7; ++i)
        place(new QPushButton(text, &window), 400);
    auto *combo = new QComboBox(&window);
    combo->setEditable(true);
    for (int i = 1; i <= 9; ++i)
        combo->addItem(QString::number(i));
    place(combo, 400);
    auto *frame = new QGroupBox(&window);
    frame->setGeometry(600, 0, 190, 400);
    for (int i = 0; i < 8; ++i)
        (new QRadioButton(text, frame))->setGeometry(5, 20 + 40 * i, 170, 22);
    window.show();
    return app.exec();
}

// Processor time of every thread of pid so far, in seconds.
double cpuSeconds(pid_t pid)
{
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = ::opendir(tasks.c_str());
    if (!dir)
        return -1;
    double total = 0;
    while (const dirent *e = ::readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        FILE *f = std::fopen((tasks + "/" + e->d_name + "/schedstat").c_str(), "r");
        if (!f)
            continue;
        unsigned long long ns = 0;
        if (std::fscanf(f, "%llu", &ns) == 1)
            total += double(ns) / 1e9;
        std::fclose(f);
    }
    ::closedir(dir);
    return total;
}

pid_t spawn(const std::vector<std::string> &argv, const std::vector<std::string> &extraEnv)
{
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> envStrings(extraEnv);
    for (char **e = environ; *e; ++e)
        if (std::strncmp(*e, "HOME=", 5) != 0 && std::strncmp(*e, "XDG_", 4) != 0)
            envStrings.emplace_back(*e);
    std::vector<char *> env;
    for (std::string &s : envStrings)
        env.push_back(s.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int err = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    return err == 0 ? pid : -1;
}

struct Sample {
    double cpu = -1, wall = -1;
};

// Starts argv, waits until its window is mapped and idle, measures, ends it.
Sample measure(const std::vector<std::string> &argv, const std::string &home)
{
    const auto began = std::chrono::steady_clock::now();
    const pid_t pid = spawn(argv,
                            {"HOME=" + home, "XDG_CONFIG_HOME=" + home + "/.config",
                             "XDG_STATE_HOME=" + home + "/.state", "XDG_RUNTIME_DIR=" + home});
    Sample s;
    if (pid < 0)
        return s;
    const pid_t finder = spawn({"xdotool", "search", "--sync", "--onlyvisible", "--pid", std::to_string(pid)}, {});
    int status = 0;
    ::waitpid(finder, &status, 0);
    s.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    // What follows the mapping at once (the first paint) counts too.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    s.cpu = cpuSeconds(pid);
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return s;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--bare") == 0)
        return bareWindow(argc, argv);
    int rounds = 9;
    std::string program;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else
            program = argv[i];
    }
    if (program.empty() || !std::getenv("DISPLAY")) {
        std::fprintf(stderr, "usage: startup_bench [--rounds N] PROGRAM (under an X server)\n");
        return 2;
    }
    char templ[] = "/tmp/startup-bench-XXXXXX";
    if (!::mkdtemp(templ))
        return 1;
    const std::string home = templ;
    const std::string self = "/proc/" + std::to_string(::getpid()) + "/exe";
    char selfPath[4096] = {};
    if (::readlink(self.c_str(), selfPath, sizeof selfPath - 1) < 0)
        return 1;
    std::vector<double> wCpu, wWall, bCpu, bWall;
    for (int round = 0; round <= rounds; ++round) {
        const Sample w = measure({program}, home);
        const Sample b = measure({selfPath, "--bare"}, home);
        if (round == 0) // warms the caches
            continue;
        wCpu.push_back(w.cpu);
        wWall.push_back(w.wall);
        bCpu.push_back(b.cpu);
        bWall.push_back(b.wall);
    }
    std::printf("Start-up until mapped and painted, %d rounds, medians\n", rounds);
    std::printf("| window      | cpu s  | x bare | wall s |\n|-------------|--------|--------|--------|\n");
    std::printf("| bare Qt     | %6.3f |   1.00 | %6.3f |\n", median(bCpu), median(bWall));
    std::printf("| the program | %6.3f | %6.2f | %6.3f |\n", median(wCpu), median(wCpu) / median(bCpu), median(wWall));
    std::vector<std::string> rm{"rm", "-rf", home};
    int status = 0;
    const pid_t p = spawn(rm, {});
    ::waitpid(p, &status, 0);
    return 0;
}
