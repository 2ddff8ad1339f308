/* Plays an XM module through SDL2's audio callback until its passes end
 * (0: for ever; a song without an end plays until stopped).
 *
 *   play_sdl SONG.xm [PASSES]
 *
 * The callback runs on SDL's audio thread; the song is used by that thread
 * alone while the device plays, so no lock is needed. */
#include <SDL.h>
#include <stdio.h>
#include <stdlib.h>

#include <zevora/zevora.h>

struct player {
  zv_song* song;
  SDL_atomic_t done;
};

static void fill(void* data, Uint8* stream, int bytes) {
  struct player* p = (struct player*)data;
  size_t frames = (size_t)bytes / 4;
  size_t got = zv_render(p->song, (int16_t*)stream, frames);
  if (got < frames) {
    SDL_memset(stream + 4 * got, 0, 4 * (frames - got)); /* silence after the end */
    SDL_AtomicSet(&p->done, 1);
  }
}

int main(int argc, char** argv) {
  int error = 0;
  long passes = 1;
  char* end = NULL;
  struct player p;
  SDL_AudioSpec want, have;
  SDL_AudioDeviceID device;

  if (argc > 2) passes = strtol(argv[2], &end, 10);
  if (argc < 2 || (argc > 2 && (*end != '\0' || end == argv[2] || passes < 0 || passes > 1000))) {
    fprintf(stderr, "usage: play_sdl SONG.xm [PASSES]   (PASSES: 0 for ever, or 1 to 1000)\n");
    return 2;
  }
  p.song = zv_load_file(argv[1], &error);
  if (p.song == NULL) {
    fprintf(stderr, "%s: %s\n", argv[1], zv_strerror(error));
    return 1;
  }
  zv_set_passes(p.song, (int)passes);
  /* The first render finds where the passes end, which reads the whole song
   * once: asked for here, before the device starts, the callback only
   * mixes. */
  zv_render(p.song, NULL, 0);
  if (zv_duration(p.song) < 0) printf("%s has no end: it plays until stopped\n", argv[1]);
  SDL_AtomicSet(&p.done, 0);
  if (SDL_Init(SDL_INIT_AUDIO) != 0) {
    fprintf(stderr, "SDL: %s\n", SDL_GetError());
    zv_free(p.song);
    return 1;
  }
  SDL_zero(want);
  want.freq = 44100;
  want.format = AUDIO_S16SYS;
  want.channels = 2;
  want.samples = 4096;
  want.callback = fill;
  want.userdata = &p;
  device = SDL_OpenAudioDevice(NULL, 0, &want, &have, 0);
  if (device == 0) {
    fprintf(stderr, "no sound device: %s\n", SDL_GetError());
    SDL_Quit();
    zv_free(p.song);
    return 1;
  }
  printf("playing %s (%s)\n", argv[1], zv_title(p.song));
  SDL_PauseAudioDevice(device, 0);
  while (!SDL_AtomicGet(&p.done)) SDL_Delay(50);
  SDL_Delay(200); /* the last buffer is played out */
  SDL_CloseAudioDevice(device);
  SDL_Quit();
  zv_free(p.song);
  return 0;
}
