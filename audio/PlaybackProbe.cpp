#include "audio/PlaybackProbe.h"

#include <SDL.h>
#include <SDL_mixer.h>

#include <climits>

#include "audio/SoundPlayer.h"

PlaybackProbe::PlaybackProbe() {
    // Whatever SDL_AUDIODRIVER says: a check must never sound or need a sound card.
    SDL_SetHintWithPriority(SDL_HINT_AUDIODRIVER, "dummy", SDL_HINT_OVERRIDE);
    // Nothing is heard, so the output mixes small chunks: closing it then waits about
    // 12 ms instead of the player's 190.
    m_player = std::make_unique<SoundPlayer>(256);
    if (!m_player->audioAvailable()) return;
    Uint16 format = 0;
    if (Mix_QuerySpec(&m_rate, &format, &m_channels) == 0) return;
    m_bits = SDL_AUDIO_BITSIZE(format);
}

PlaybackProbe::~PlaybackProbe() = default;

bool PlaybackProbe::ready() const { return m_player->audioAvailable() && m_rate > 0; }

std::string PlaybackProbe::outputError() const { return m_player->outputError(); }

PlaybackProbe::Result PlaybackProbe::probe(const char* data, int64_t size) {
    Result r;
    if (size > INT_MAX) {
        r.error = "the sound is too large to play (2 GiB or more)";
        return r;
    }
    SDL_RWops* source = SDL_RWFromConstMem(data, static_cast<int>(size));
    Mix_Music* music = source != nullptr ? Mix_LoadMUS_RW(source, 0) : nullptr;
    if (music == nullptr) {
        r.error = std::string("SDL_mixer cannot decode it: ") + Mix_GetError();
    } else {
        r.plays = true;
        r.seconds = Mix_MusicDuration(music);
        Mix_FreeMusic(music);
    }
    if (source != nullptr) SDL_FreeRW(source);
    return r;
}
