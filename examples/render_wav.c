/* Renders one pass of an XM module to a 16-bit stereo WAV file; of a song
 * without an end, its first 10 minutes.
 *
 *   render_wav SONG.xm OUT.wav [RATE]
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <zevora/zevora.h>

static void put32(unsigned char* p, uint32_t v) {
  p[0] = (unsigned char)v;
  p[1] = (unsigned char)(v >> 8);
  p[2] = (unsigned char)(v >> 16);
  p[3] = (unsigned char)(v >> 24);
}

int main(int argc, char** argv) {
  int error = 0;
  long rate = 44100;
  char* end = NULL;
  zv_song* song;
  FILE* out;
  int16_t pcm[2 * 4096];
  size_t frames, total = 0, most;
  int64_t duration;
  unsigned char header[44] = "RIFF----WAVEfmt \x10\0\0\0\x01\0\x02\0--------\x04\0\x10\0data----";

  if (argc > 3) rate = strtol(argv[3], &end, 10);
  if (argc < 3 || (argc > 3 && (*end != '\0' || end == argv[3] || rate < 8000 || rate > 192000))) {
    fprintf(stderr, "usage: render_wav SONG.xm OUT.wav [RATE]   (RATE: 8000 to 192000, default 44100)\n");
    return 2;
  }
  song = zv_load_file(argv[1], &error);
  if (song == NULL) {
    fprintf(stderr, "%s: %s\n", argv[1], zv_strerror(error));
    return 1;
  }
  if (zv_set_rate(song, (int)rate) != ZV_OK) {
    fprintf(stderr, "%ld Hz: %s\n", rate, zv_strerror(ZV_ERR_ARGUMENT));
    zv_free(song);
    return 2;
  }
  /* Finding the song's end reads the whole song once. A WAV file holds
   * under 4 GB. */
  duration = zv_duration(song);
  if (duration == ZV_ERR_MEMORY) {
    fprintf(stderr, "%s: %s\n", argv[1], zv_strerror(ZV_ERR_MEMORY));
    zv_free(song);
    return 1;
  }
  most = duration < 0 ? (size_t)600 * (size_t)rate : (size_t)duration;
  if (most > (0xFFFFFFFFu - 36) / 4) {
    fprintf(stderr, "%s: too long for a WAV file\n", argv[1]);
    zv_free(song);
    return 1;
  }
  out = fopen(argv[2], "wb");
  if (out == NULL) {
    perror(argv[2]);
    zv_free(song);
    return 1;
  }
  /* The sizes are filled in at the end. */
  if (fwrite(header, 1, sizeof header, out) != sizeof header) goto write_error;
  /* One pass (the default): zv_render returns fewer frames where it ends. */
  while (total < most && (frames = zv_render(song, pcm, most - total < 4096 ? most - total : 4096)) > 0) {
    /* little-endian machines: the WAV byte order */
    if (fwrite(pcm, 4, frames, out) != frames) goto write_error;
    total += frames;
  }
  put32(header + 4, (uint32_t)(36 + 4 * total));
  put32(header + 24, (uint32_t)rate);
  put32(header + 28, (uint32_t)rate * 4);
  put32(header + 40, (uint32_t)(4 * total));
  if (fseek(out, 0, SEEK_SET) != 0 || fwrite(header, 1, sizeof header, out) != sizeof header) goto write_error;
  if (fclose(out) != 0) {
    out = NULL;
    goto write_error;
  }
  printf("%s: %lu frames (%s)\n", argv[2], (unsigned long)total, zv_title(song));
  zv_free(song);
  return 0;

write_error: /* what was written stays: OUT may be a device, or a pipe */
  perror(argv[2]);
  if (out != NULL) fclose(out);
  zv_free(song);
  return 1;
}
