/* libzevora: XM (Extended Module) music rendered bit-exactly, one song
 * object at a time.
 *
 * A song is loaded from a file or a memory block and renders interleaved
 * 16-bit (or float) stereo at 44,100 Hz or another rate; it knows its exact
 * duration, seeks to any frame exactly, plays a number of passes, jumps to
 * an order at run time and mutes channels. Songs share nothing: two songs
 * may be used side by side in one thread or in different threads, each
 * song by one thread at a time. See docs/library.md. */
#ifndef ZEVORA_ZEVORA_H
#define ZEVORA_ZEVORA_H

#include <stddef.h>
#include <stdint.h>

#if defined(ZEVORA_BUILDING_LIBRARY) && defined(__GNUC__)
#define ZEVORA_API __attribute__((visibility("default")))
#else
#define ZEVORA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct zv_song zv_song;

enum { ZV_OK = 0, ZV_ERR_OPEN = -1, ZV_ERR_FORMAT = -2, ZV_ERR_MEMORY = -3, ZV_ERR_ARGUMENT = -4, ZV_ERR_RANGE = -5 };

ZEVORA_API const char* zv_version(void);      /* "0.1.0" */
ZEVORA_API const char* zv_strerror(int code); /* one line, never NULL */

ZEVORA_API zv_song* zv_load_file(const char* path, int* error);                /* error may be NULL; NULL on failure */
ZEVORA_API zv_song* zv_load_memory(const void* data, size_t size, int* error); /* data is not used after the call */
ZEVORA_API void zv_free(zv_song* song);                                        /* NULL is fine */

/* What the module holds: the module's own bytes, NUL-terminated, valid until zv_free. Indexes count from 0. */
ZEVORA_API const char* zv_title(const zv_song* song);
ZEVORA_API const char* zv_tracker(const zv_song* song);
ZEVORA_API int zv_channels(const zv_song* song);
ZEVORA_API int zv_orders(const zv_song* song); /* song length */
ZEVORA_API int zv_patterns(const zv_song* song);
ZEVORA_API int zv_instruments(const zv_song* song);
ZEVORA_API const char* zv_instrument_name(const zv_song* song, int instrument); /* NULL when out of range */
ZEVORA_API int zv_samples(const zv_song* song, int instrument);                 /* -1 when out of range */
ZEVORA_API const char* zv_sample_name(const zv_song* song, int instrument, int sample);

/* Song end, as `zevora-cli info` defines it: a pass ends where the song comes back to a row it has already started
   in that pass (same order, row and pattern loop counts). */
ZEVORA_API int64_t zv_duration(zv_song* song); /* frames of one pass at the song's rate; -1: no end found;
                                                  ZV_ERR_MEMORY when memory is short */
ZEVORA_API int zv_loop_point(zv_song* song, int* order, int* row); /* ZV_ERR_RANGE when no end */

/* Settings. */
ZEVORA_API int zv_set_rate(zv_song* song, int rate);     /* 8000..192000, default 44100; restarts the song at frame 0 */
ZEVORA_API int zv_set_passes(zv_song* song, int passes); /* 1..1000, or 0: for ever; default 1 */
ZEVORA_API int zv_mute(zv_song* song, int channel, int muted); /* from the next frame rendered */

/* Rendering: interleaved left/right. Returns the frames written; fewer than asked only where the last pass
   ends, and 0 from there on (0 as well when memory is short). The float form is the same mix before the 16-bit
   conversion, divided by 32768 (not clipped). The first render after loading or a setting finds where the passes
   end: zv_render(song, NULL, 0) does only that, before an audio callback starts. */
ZEVORA_API size_t zv_render(zv_song* song, int16_t* stereo, size_t frames);
ZEVORA_API size_t zv_render_float(zv_song* song, float* stereo, size_t frames);

/* Position. Frames count from the song's start across passes. */
ZEVORA_API int zv_seek(zv_song* song,
                       uint64_t frame); /* what is rendered next equals those frames of a render from frame 0 */
ZEVORA_API int zv_seek_row(zv_song* song, int order,
                           int row);               /* where that row first starts; ZV_ERR_RANGE if no pass reaches it */
ZEVORA_API uint64_t zv_frame(const zv_song* song); /* the next frame to render */
ZEVORA_API int zv_position(const zv_song* song, int* order, int* row); /* of the next frame */
ZEVORA_API int zv_jump(zv_song* song, int order, int row); /* interactive music: at the next row start the song goes on
   from order/row as a position jump would take it there (channels keep their state); not a seek. The song then
   has no end until a seek takes it back to its own course. */

#ifdef __cplusplus
}
#endif

#endif
