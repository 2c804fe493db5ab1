#pragma once

// Shared by the window's editing and playback tests: WAV bytes made here, a model built
// before the window, the window with scripted answers in place of its dialogs, and access
// to the real widgets of the entry table.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QIcon>
#include <QImage>
#include <QListWidget>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <cmath>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <vector>

#include "app/voxtrail.h"
#include "project/Project.h"

namespace cuelist {

constexpr int kRate = 22050;

inline void putLE(QByteArray& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.append(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// A PCM WAV file of a stereo 16-bit sine tone at the player's rate.
inline QByteArray toneWav(int milliseconds, double hz = 440.0) {
    const int frames = kRate * milliseconds / 1000;
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(frames) * 4;
    QByteArray out("RIFF");
    putLE(out, 36 + dataBytes, 4);
    out.append("WAVEfmt ");
    putLE(out, 16, 4);
    putLE(out, 1, 2);  // PCM
    putLE(out, 2, 2);  // channels
    putLE(out, kRate, 4);
    putLE(out, kRate * 4, 4);
    putLE(out, 4, 2);  // block align
    putLE(out, 16, 2);
    out.append("data");
    putLE(out, dataBytes, 4);
    for (int i = 0; i < frames; ++i) {
        const auto v =
            static_cast<std::int16_t>(std::lround(9000.0 * std::sin(2.0 * M_PI * hz * i / kRate)));
        putLE(out, static_cast<std::uint16_t>(v), 2);
        putLE(out, static_cast<std::uint16_t>(v), 2);
    }
    return out;
}

// One entry of a model built for a test: its name and its sound (empty for none).
struct EntryPlan {
    const char* name;
    QByteArray sound;
};
using ChapterPlan = std::vector<EntryPlan>;

// A question the window asked, as the dialog seam received it.
struct Question {
    QString text;
    QString informativeText;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton;
};

// A file choice the window asked for.
struct FileRequest {
    QWidget* parent;
    QString caption;
    QString directory;
    QString filter;
};

// A warning the window showed.
struct Warning {
    QWidget* parent;
    QString text;
    QString informativeText;
    bool waitCursorShown;  // whether the wait cursor was still set while it was up
};

class CueListWindow : public ::testing::Test {
  protected:
    void SetUp() override { Project::instance().clear(); }
    void TearDown() override {
        window.reset();
        Project::instance().clear();
    }

    // Fills the project (chapter i is named "chapter i") and builds the window on it, the
    // way a loaded project is shown: the constructor lists the chapters.
    void buildWindow(const std::vector<ChapterPlan>& chapterPlans = {}) {
        window.reset();
        Project& project = Project::instance();
        project.clear();
        for (size_t i = 0; i < chapterPlans.size(); ++i) {
            Chapter* chapter = project.addChapter();
            chapter->name = QStringLiteral("chapter %1").arg(i);
            for (const EntryPlan& plan : chapterPlans[i]) {
                Entry* entry = chapter->addEntry();
                entry->name = QString::fromUtf8(plan.name);
                entry->desc = QStringLiteral("about ") + entry->name;
                entry->note = QStringLiteral("note ") + entry->name;
                entry->sound = plan.sound;
            }
        }
        window = std::make_unique<voxtrail>();
        WindowDialogs scripted;
        scripted.ask = [this](const QString& text, const QString& informative,
                              QMessageBox::StandardButtons buttons,
                              QMessageBox::StandardButton defaultButton) {
            questions.push_back({text, informative, buttons, defaultButton});
            if (answers.empty()) {
                ADD_FAILURE() << "unexpected question: " << text.toStdString();
                return QMessageBox::Cancel;
            }
            const QMessageBox::StandardButton answer = answers.front();
            answers.pop_front();
            return answer;
        };
        scripted.getOpenFileName = [this](QWidget* parent, const QString& caption,
                                          const QString& directory, const QString& filter) {
            fileRequests.push_back({parent, caption, directory, filter});
            return chosenFile;
        };
        scripted.getSaveFileName = [this](QWidget* parent, const QString& caption,
                                          const QString& directory, const QString& filter) {
            saveRequests.push_back({parent, caption, directory, filter});
            return chosenSaveFile;
        };
        scripted.warn = [this](QWidget* parent, const QString& text, const QString& informative) {
            warnings.push_back(
                {parent, text, informative, QApplication::overrideCursor() != nullptr});
        };
        window->setDialogs(scripted);
    }

    template <typename T>
    T* child(const char* name) const {
        T* found = window->findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    QListWidget* chapterList() const { return child<QListWidget>("chapters"); }
    QTableWidget* table() const { return child<QTableWidget>("chapterView"); }
    QAction* action(const char* name) const { return child<QAction>(name); }
    void click(const char* buttonName) { child<QAbstractButton>(buttonName)->click(); }

    QAbstractButton* soundButton(int row) const {
        return qobject_cast<QAbstractButton*>(table()->cellWidget(row, 2));
    }
    QAbstractButton* openSoundButton(int row) const {
        return qobject_cast<QAbstractButton*>(table()->cellWidget(row, 3));
    }

    static Entry* entry(int chapter, int index) {
        Chapter* c = Project::instance().chapter(chapter);
        return c != nullptr ? c->entry(index) : nullptr;
    }

    // The names shown in column 0, top to bottom.
    QStringList shownNames() const {
        QStringList names;
        for (int r = 0; r < table()->rowCount(); ++r)
            names << (table()->item(r, 0) ? table()->item(r, 0)->text() : QStringLiteral("?"));
        return names;
    }

    // Whether the icon shows the picture of the resource at path.
    static bool showsIcon(const QAbstractButton* button, const char* path) {
        if (button == nullptr || button->icon().isNull()) return false;
        const QSize size(32, 32);
        const auto format = QImage::Format_ARGB32_Premultiplied;
        return button->icon().pixmap(size).toImage().convertToFormat(format) ==
               QIcon(QString::fromLatin1(path)).pixmap(size).toImage().convertToFormat(format);
    }
    static constexpr const char* kPlayIcon = ":/gfx/icons/player_controls/play.png";
    static constexpr const char* kStopIcon = ":/gfx/icons/player_controls/stop.png";
    static constexpr const char* kOpenIcon = ":/gfx/icons/file/open.png";
    static constexpr const char* kDeleteIcon = ":/gfx/icons/others/delete.png";

    bool playing() const { return window->soundPlayer().isPlaying(); }
    // Whether the player is playing exactly the bytes of this entry.
    bool playingEntry(int chapter, int index) const {
        const Entry* e = entry(chapter, index);
        return e != nullptr && playing() && window->soundPlayer().currentData() == e->soundData();
    }

    QTimer* clockTimer() const {
        return window->findChild<QTimer*>(QString(), Qt::FindDirectChildrenOnly);
    }

    std::unique_ptr<voxtrail> window;
    std::deque<QMessageBox::StandardButton> answers;  // given to the questions in turn
    std::vector<Question> questions;
    std::vector<FileRequest> fileRequests;
    QString chosenFile;  // what the open dialog returns; empty means cancelled
    std::vector<FileRequest> saveRequests;
    QString chosenSaveFile;  // what the save dialog returns; empty means cancelled
    std::vector<Warning> warnings;
};

}  // namespace cuelist
