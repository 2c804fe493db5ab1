#pragma once

// Whether the player's own decoder takes a sound, asked with the player's own call
// (Mix_LoadMUS_RW) on an output opened by the player's own code, on SDL's dummy driver: no
// sound card is needed and nothing is heard. For checking a show before a performance.
//
// Owns the process's sound player, so at most one probe (or player) may exist; main thread
// only.

#include <cstdint>
#include <memory>
#include <string>

class SoundPlayer;

class PlaybackProbe final {
  public:
    PlaybackProbe();
    ~PlaybackProbe();
    PlaybackProbe(const PlaybackProbe&) = delete;
    PlaybackProbe& operator=(const PlaybackProbe&) = delete;

    // False when the dummy output could not be opened; outputError() says why.
    bool ready() const;
    std::string outputError() const;
    // The output's format as SDL_mixer opened it.
    int rate() const { return m_rate; }
    int channels() const { return m_channels; }
    int bits() const { return m_bits; }

    struct Result {
        bool plays = false;
        std::string error;    // why not
        double seconds = -1;  // the duration the decoder reads; negative when unknown
    };
    // The `size` bytes at data, a whole stored sound; read only during the call.
    Result probe(const char* data, int64_t size);

  private:
    std::unique_ptr<SoundPlayer> m_player;
    int m_rate = 0;
    int m_channels = 0;
    int m_bits = 0;
};
