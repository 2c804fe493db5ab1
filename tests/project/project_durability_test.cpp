// A save killed at any moment leaves the previous project or the new one, nothing else.
//
// A child process saves one of two projects over a file that holds the other and is
// killed with SIGKILL after a random delay; the file must then load as exactly one of the
// two projects and pass the volume checker.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QFileInfo>
#include <chrono>
#include <random>

#include "ProjectTestSupport.h"
#include "project/ProjectArchive.h"

using namespace testsupport;

namespace {

Model makeProject(std::mt19937_64& rng, const QString& tag, int chapters, qsizetype soundSize) {
    Model model;
    for (int c = 0; c < chapters; ++c) {
        ChapterModel chapter{tag + " chapter " + QString::number(c), {}};
        for (int e = 0; e < 3; ++e) {
            const QString id = tag + QString(" %1.%2").arg(c).arg(e);
            // Every third entry has no sound, so both projects have gaps in their names.
            const QByteArray sound =
                (c + e) % 3 == 2 ? QByteArray() : randomBytes(rng, soundSize + e);
            chapter.entries.push_back(
                {id + " name", id + " <desc> & \"more\"", id + " note", sound});
        }
        model.push_back(std::move(chapter));
    }
    return model;
}

// Runs a save of model to path in a child process; kills it after delay unless it ended
// first. Returns true when the child finished the save successfully.
bool saveInChild(const Model& model, const QString& path, std::chrono::microseconds delay,
                 bool* killed) {
    setProject(model);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const bool ok = Project::instance().save(path);
        ::_exit(ok ? 0 : 1);
    }
    EXPECT_GT(pid, 0);
    if (pid <= 0) return false;
    if (delay.count() >= 0) {
        const timespec ts{static_cast<time_t>(delay.count() / 1000000),
                          static_cast<long>(delay.count() % 1000000) * 1000};
        ::nanosleep(&ts, nullptr);
        ::kill(pid, SIGKILL);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    *killed = WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

TEST(ProjectDurabilityTest, ASaveKilledAtRandomLeavesTheOldOrTheNewProject) {
    const bool longRun = qEnvironmentVariableIntValue("VOXTRAIL_LONG_TESTS") == 1;
    // At least minKills kills; rounds whose delay falls after the save count as well but
    // do not help reach it.
    const int minKills = longRun ? 400 : 55;
    const QString folder = freshFolder("durability");
    const QString path = folder + "/show.vx";
    std::mt19937_64 rng(0xD0AB1E);
    const Model a = makeProject(rng, "A", 4, 2500 * 1000);
    const Model b = makeProject(rng, "B", 5, 2200 * 1000);
    const Model* models[2] = {&a, &b};

    // Saves run to their end tell how long a save takes; the slowest sets the range of
    // the kill delays.
    bool killed = false;
    std::chrono::microseconds saveTime{0};
    int onDisk = 1;
    for (int i = 0; i < 4; ++i) {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(saveInChild(*models[1 - onDisk], path, std::chrono::microseconds(-1), &killed));
        onDisk = 1 - onDisk;
        saveTime = std::max(saveTime, std::chrono::duration_cast<std::chrono::microseconds>(
                                          std::chrono::steady_clock::now() - start));
    }
    std::fprintf(stderr, "a complete save takes up to %lld us\n",
                 static_cast<long long>(saveTime.count()));

    // Delays are drawn from [0, range]; the range follows how long saves take now: it
    // shrinks when a save ended before its kill and grows a little when one was killed.
    double range = static_cast<double>(saveTime.count()) * 1.1;
    int sawOld = 0, sawNew = 0, kills = 0;
    for (int round = 0; kills < minKills && round < 3 * minKills; ++round) {
        const int next = 1 - onDisk;
        const auto delay = std::chrono::microseconds(
            static_cast<long long>(rng() % static_cast<uint64_t>(range + 1)));
        const bool finished = saveInChild(*models[next], path, delay, &killed);
        kills += killed ? 1 : 0;
        range = killed ? std::min(range * 1.03, saveTime.count() * 2.0) : range * 0.85;

        Project::instance().clear();
        ASSERT_TRUE(Project::instance().load(path))
            << "round " << round << ": " << Project::instance().lastError().toStdString();
        const Model found = snapshot();
        if (found == *models[next]) {
            onDisk = next;
            ++sawNew;
        } else {
            ASSERT_TRUE(found == *models[onDisk])
                << "round " << round << ": neither the old nor the new project";
            ASSERT_FALSE(finished) << "round " << round << ": a finished save left the old project";
            ++sawOld;
        }
        const QStringList problems = checkProblems(path);
        ASSERT_TRUE(problems.isEmpty())
            << "round " << round << ": " << problems.join("; ").toStdString();
        // At most the temporary file of the save just killed is left over: each save
        // removes those of earlier ones.
        ASSERT_LE(folderEntries(folder).size(), 2) << folderEntries(folder).join(" ").toStdString();
    }
    std::fprintf(stderr, "%d kills; the old project %d times, the new one %d times\n", kills,
                 sawOld, sawNew);
    EXPECT_GE(kills, minKills);
    EXPECT_GT(sawOld, 0);
    EXPECT_GT(sawNew, 0);

    // A save that runs to its end cleans up after the killed ones.
    ASSERT_TRUE(saveInChild(*models[1 - onDisk], path, std::chrono::microseconds(-1), &killed));
    EXPECT_EQ(folderEntries(folder), QStringList({"show.vx"}));
    Project::instance().clear();
    ASSERT_TRUE(Project::instance().load(path));
    EXPECT_TRUE(snapshot() == *models[1 - onDisk]);
    Project::instance().clear();
}
