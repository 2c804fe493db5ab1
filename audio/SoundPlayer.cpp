#include "audio/SoundPlayer.h"

#include <SDL.h>
#include <SDL_mixer.h>

#include <atomic>
#include <climits>

namespace {

// Set by the end-of-music handler; cleared on the main thread whenever the music is
// released, after Mix_HaltMusic (which may itself call the handler) has returned.
std::atomic<bool> g_musicEnded{false};

// True while some player owns SDL's audio state.
std::atomic<bool> g_playerExists{false};

constexpr int kFrequency = 22050;
constexpr Uint16 kFormat = AUDIO_S16LSB;
constexpr int kChannels = 2;

std::string errorText(const char* what, const char* sdlError) {
    std::string text = what;
    if (sdlError != nullptr && *sdlError != '\0') {
        text += ": ";
        text += sdlError;
    }
    return text;
}

}  // namespace

void SoundPlayer::musicFinishedHandler() { g_musicEnded.store(true, std::memory_order_release); }

SoundPlayer::SoundPlayer(int chunkSize) {
    if (g_playerExists.exchange(true)) {
        m_outputError = "another sound player already owns the audio output";
        return;
    }
    m_ownsProcessAudio = true;
    // SDL's audio brings its event subsystem, which would otherwise catch SIGINT and
    // SIGTERM only to queue an event nobody reads: the program must stay endable by them.
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_Init(SDL_INIT_AUDIO) != 0) {
        m_outputError = errorText("cannot start SDL audio", SDL_GetError());
        return;
    }
    m_sdlInitialised = true;
    if (Mix_OpenAudio(kFrequency, kFormat, kChannels, chunkSize) != 0) {
        m_outputError = errorText("cannot open the audio device", Mix_GetError());
        return;
    }
    m_audioOpen = true;
    g_musicEnded.store(false);
    // Installed once, before anything plays, so that even a sound shorter than one
    // buffer cannot end unrecorded.
    Mix_HookMusicFinished(&SoundPlayer::musicFinishedHandler);
}

SoundPlayer::~SoundPlayer() { shutdown(); }

void SoundPlayer::release() {
    if (m_music != nullptr) {
        Mix_HaltMusic();
        Mix_FreeMusic(m_music);
        m_music = nullptr;
    }
    if (m_source != nullptr) {
        SDL_FreeRW(m_source);
        m_source = nullptr;
    }
    g_musicEnded.store(false, std::memory_order_release);
}

void SoundPlayer::play(const char* data, std::int64_t size) {
    release();
    m_currentData = data;
    m_started = true;
    m_playError.clear();
    if (!m_audioOpen) {
        m_playError = "no sound output";
        if (!m_outputError.empty()) m_playError += " (" + m_outputError + ")";
        return;
    }
    if (data == nullptr || size <= 0) {
        m_playError = "there is no sound to play";
        return;
    }
    if (size > INT_MAX) {
        m_playError = "the sound is too large to play (2 GiB or more)";
        return;
    }
    m_source = SDL_RWFromConstMem(data, static_cast<int>(size));
    if (m_source == nullptr) {
        m_playError = errorText("cannot read the sound", SDL_GetError());
        return;
    }
    m_music = Mix_LoadMUS_RW(m_source, 0);
    if (m_music == nullptr) {
        m_playError = errorText("cannot decode the sound", Mix_GetError());
        release();
        return;
    }
    if (Mix_PlayMusic(m_music, 0) != 0) {
        m_playError = errorText("cannot play the sound", Mix_GetError());
        release();
    }
}

void SoundPlayer::stop() {
    release();
    m_currentData = nullptr;
    m_started = false;
}

bool SoundPlayer::isPlaying() const {
    return m_audioOpen && m_music != nullptr && Mix_PlayingMusic() != 0;
}

bool SoundPlayer::takeFinished() {
    if (!m_started) return false;
    if (m_music != nullptr) {
        if (!g_musicEnded.load(std::memory_order_acquire)) return false;
        // The flag alone is not trusted to mean this music: it must also be silent.
        if (Mix_PlayingMusic() != 0) return false;
        release();
    }
    m_started = false;
    return true;
}

void SoundPlayer::shutdown() {
    if (!m_ownsProcessAudio) return;
    release();
    m_currentData = nullptr;
    m_started = false;
    if (m_audioOpen) {
        Mix_HookMusicFinished(nullptr);
        Mix_CloseAudio();
        m_audioOpen = false;
    }
    if (m_sdlInitialised) {
        SDL_Quit();
        m_sdlInitialised = false;
    }
    if (m_outputError.empty()) m_outputError = "the sound output has been shut down";
    m_ownsProcessAudio = false;
    g_playerExists.store(false);
}
