#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "project/Project.h"

namespace {

class ProjectModelTest : public ::testing::Test {
  protected:
    void SetUp() override { Project::instance().clear(); }
    void TearDown() override { Project::instance().clear(); }
    Project& project = Project::instance();
};

TEST_F(ProjectModelTest, InstanceIsOneObjectThatStartsEmpty) {
    EXPECT_EQ(&Project::instance(), &project);
    EXPECT_EQ(project.chapterCount(), 0);
    project.clear();  // clearing an empty project does nothing
    EXPECT_TRUE(project.chapters().empty());
}

TEST_F(ProjectModelTest, NewChaptersAndEntriesAreEmptyAndAppendedLast) {
    Chapter* first = project.addChapter();
    Chapter* second = project.addChapter();
    EXPECT_TRUE(first->name.isEmpty());
    EXPECT_EQ(first->entryCount(), 0);
    EXPECT_EQ(project.chapter(0), first);
    EXPECT_EQ(project.chapter(1), second);

    Entry* a = second->addEntry();
    Entry* b = second->addEntry();
    EXPECT_TRUE(a->name.isEmpty() && a->desc.isEmpty() && a->note.isEmpty());
    EXPECT_FALSE(a->hasSound());
    EXPECT_EQ(second->entry(1), b);
    EXPECT_EQ(second->indexOf(b), 1);
    EXPECT_EQ(first->indexOf(b), -1);
    EXPECT_EQ(project.chapterOf(b), second);
    EXPECT_EQ(project.chapterOf(nullptr), nullptr);
    EXPECT_EQ(project.indexOf(second), 1);
}

TEST_F(ProjectModelTest, RemovingChapterZeroRenumbersTheRest) {
    for (const char* name : {"a", "b", "c"}) project.addChapter()->name = name;
    Chapter* b = project.chapter(1);
    ASSERT_TRUE(project.removeChapter(0));
    ASSERT_EQ(project.chapterCount(), 2);
    EXPECT_EQ(project.chapter(0), b);
    EXPECT_EQ(project.chapter(1)->name, "c");
}

TEST_F(ProjectModelTest, InvalidIndexesChangeNothing) {
    Chapter* chapter = project.addChapter();
    chapter->addEntry();
    EXPECT_FALSE(project.removeChapter(-1));
    EXPECT_FALSE(project.removeChapter(1));
    EXPECT_FALSE(chapter->removeEntry(-1));
    EXPECT_FALSE(chapter->removeEntry(1));
    EXPECT_EQ(project.chapterCount(), 1);
    EXPECT_EQ(chapter->entryCount(), 1);
    EXPECT_EQ(project.chapter(1), nullptr);
    EXPECT_EQ(project.chapter(-1), nullptr);
    EXPECT_EQ(chapter->entry(1), nullptr);
}

// The player reads an entry's bytes in place: copies of the array elsewhere (a save, an
// undo buffer) must not share, and so cannot move or free, the storage it reads.
TEST_F(ProjectModelTest, OwnSoundDataIsUnsharedAndStable) {
    Entry* entry = project.addChapter()->addEntry();
    entry->sound = QByteArray(1000, 'w');
    QByteArray copy = entry->sound;
    const char* address = entry->ownSoundData();
    EXPECT_NE(address, copy.constData());
    copy.clear();
    copy = entry->sound;  // shares again, as a save does; the entry's storage stays put
    EXPECT_EQ(entry->soundData(), address);
    copy[0] = 'x';
    copy.clear();
    EXPECT_EQ(entry->soundData(), address);
    EXPECT_EQ(entry->ownSoundData(), address);
    EXPECT_EQ(entry->sound[0], 'w');
}

TEST_F(ProjectModelTest, ReplaceContentSwapsInNewChapters) {
    project.addChapter()->name = "old";
    ChapterList fresh;
    fresh.push_back(std::make_unique<Chapter>());
    fresh.back()->name = "new";
    Chapter* kept = fresh.back().get();
    project.replaceContent(std::move(fresh));
    ASSERT_EQ(project.chapterCount(), 1);
    EXPECT_EQ(project.chapter(0), kept);
    EXPECT_EQ(kept->name, "new");
}

// Random edits checked against a plain model after every step. Besides order and texts it
// checks that surviving entries keep their address: the window holds a pointer to the
// entry that plays, and the player reads that entry's bytes in place.
TEST_F(ProjectModelTest, RandomEditsMatchAModel) {
    struct ModelEntry {
        Entry* address;
        QString name;
    };
    struct ModelChapter {
        Chapter* address;
        QString name;
        std::vector<ModelEntry> entries;
    };
    std::vector<ModelChapter> model;
    std::mt19937 rng(20261207);
    int counter = 0;

    for (int step = 0; step < 4000; ++step) {
        const int chapters = static_cast<int>(model.size());
        const int pick = std::uniform_int_distribution<int>(-1, chapters)(rng);
        switch (std::uniform_int_distribution<int>(0, 5)(rng)) {
            case 0: {
                Chapter* c = project.addChapter();
                c->name = QString::number(++counter);
                model.push_back({c, c->name, {}});
                break;
            }
            case 1: {
                const bool valid = pick >= 0 && pick < chapters;
                ASSERT_EQ(project.removeChapter(pick), valid);
                if (valid) model.erase(model.begin() + pick);
                break;
            }
            case 2:
            case 3: {
                if (pick < 0 || pick >= chapters) break;
                Entry* e = project.chapter(pick)->addEntry();
                e->name = QString::number(++counter);
                e->sound = QByteArray(step % 7, 'x');
                model[pick].entries.push_back({e, e->name});
                break;
            }
            case 4: {
                if (pick < 0 || pick >= chapters) break;
                auto& entries = model[pick].entries;
                const int n = static_cast<int>(entries.size());
                const int index = std::uniform_int_distribution<int>(-1, n)(rng);
                const bool valid = index >= 0 && index < n;
                ASSERT_EQ(project.chapter(pick)->removeEntry(index), valid);
                if (valid) entries.erase(entries.begin() + index);
                break;
            }
            case 5:
                if (step % 500 == 499) {
                    project.clear();
                    model.clear();
                }
                break;
        }

        ASSERT_EQ(project.chapterCount(), static_cast<int>(model.size()));
        for (size_t c = 0; c < model.size(); ++c) {
            const Chapter* chapter = project.chapter(static_cast<int>(c));
            ASSERT_EQ(chapter, model[c].address);
            ASSERT_EQ(chapter->name, model[c].name);
            ASSERT_EQ(chapter->entryCount(), static_cast<int>(model[c].entries.size()));
            for (size_t e = 0; e < model[c].entries.size(); ++e) {
                ASSERT_EQ(chapter->entry(static_cast<int>(e)), model[c].entries[e].address);
                ASSERT_EQ(chapter->entry(static_cast<int>(e))->name, model[c].entries[e].name);
            }
        }
    }
}

}  // namespace
