#pragma once

// Plays one entry's sound at a time, straight from bytes in memory, through SDL2 and
// SDL_mixer's music channel (the format is recognised from the content; WAV in practice).
// No pause, volume or position: a sound is started, stopped, asked about.
//
// SDL's audio state is process-wide, so only one player may own it: a second player built
// while one exists owns nothing, reports the output as unavailable and does nothing.
// Every member function runs on the main thread. The only code on SDL's audio thread is
// the end-of-music handler, which records that the music ended and nothing else; the
// music is halted and freed on the main thread (next play(), stop(), takeFinished() or
// shutdown()).
//
// If the audio device cannot be opened the player still works as an object: nothing
// plays, isPlaying() stays false, and audioAvailable()/outputError() say why, so that the
// window can show it before a performance.

#include <cstdint>
#include <string>

struct SDL_RWops;
typedef struct _Mix_Music Mix_Music;

class SoundPlayer final {
  public:
    // SDL_Init(SDL_INIT_AUDIO), then Mix_OpenAudio(22050, AUDIO_S16LSB, 2, chunkSize). A
    // failure of either is recorded (audioAvailable, outputError), never thrown. SDL is
    // told to leave the process's signal handling alone. The chunk size (sample frames
    // mixed at a time) changes nothing that is decoded; closing the output waits up to one
    // chunk's time, so a player that never sounds may take a small one.
    explicit SoundPlayer(int chunkSize = 4096);
    // shutdown().
    ~SoundPlayer();
    SoundPlayer(const SoundPlayer&) = delete;
    SoundPlayer& operator=(const SoundPlayer&) = delete;

    // Stops and frees whatever was loaded, then plays the `size` bytes at `data` once.
    // The bytes are read in place while the sound plays, not copied: they must stay alive
    // and unchanged until stop(), the next play(), a takeFinished() that returned true, or
    // shutdown(). currentData() becomes data even when nothing can be played (no output,
    // no bytes, bytes SDL_mixer cannot decode); playError() then says why.
    void play(const char* data, std::int64_t size);

    // Stops and frees the sound; currentData() becomes null. Harmless when idle.
    void stop();

    // True while SDL_mixer reports the music playing.
    bool isPlaying() const;

    // The pointer given to the last play(); null at construction and after stop(). Not
    // cleared when a sound ends by itself.
    const char* currentData() const { return m_currentData; }

    // The window's check on its one-second clock tick: returns true exactly once after a
    // play() whose sound is over without stop() being called, that is when the sound has
    // ended by itself or could not be started at all. The sound is then freed (the bytes
    // given to play() are no longer read) and the window can show the play icon again and
    // forget the playing entry. Returns false while the sound plays, after stop(), and
    // when nothing was played. Cheap: one atomic load when nothing has ended. Calling it
    // also at the start of a play or stop click closes the gap before the next tick, so
    // a click on a cue that has just ended plays it instead of only resetting its icon.
    bool takeFinished();

    // Releases the sound, closes the audio device and quits SDL; afterwards the player
    // behaves like one whose output could not be opened. Idempotent.
    void shutdown();

    // Whether the audio device is open, so that sounds can be heard.
    bool audioAvailable() const { return m_audioOpen; }
    // Why the output is unavailable (SDL's error text); empty while it is available.
    const std::string& outputError() const { return m_outputError; }
    // Why the last play() produced no sound (SDL_mixer's error text); empty after a play()
    // that started.
    const std::string& playError() const { return m_playError; }

    // The end-of-music handler given to Mix_HookMusicFinished. SDL_mixer calls it on its
    // audio thread with the audio lock held (and from Mix_HaltMusic on the caller's
    // thread); it only sets an atomic flag and calls no SDL or SDL_mixer function.
    static void musicFinishedHandler();

  private:
    // Halts and frees the music and its memory source; main thread only.
    void release();

    const char* m_currentData = nullptr;
    Mix_Music* m_music = nullptr;
    SDL_RWops* m_source = nullptr;    // reads the caller's bytes; outlives m_music
    bool m_ownsProcessAudio = false;  // this is the one player of the process
    bool m_sdlInitialised = false;
    bool m_audioOpen = false;
    bool m_started = false;  // play() was called and neither stop() nor takeFinished() since
    std::string m_outputError;
    std::string m_playError;
};
