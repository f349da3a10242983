/*
 * quorvane-ondrelix: voice conversion with a flat C interface.
 *
 * The library makes speech sound like another voice. It converts WAV files,
 * clones a voice from a short reference clip, and runs a real-time 16 kHz
 * stream on a worker thread. Conversion runs two ONNX models (a speaker
 * encoder and a converter) from a models directory on the CPU.
 *
 * Usage:
 *
 *     const char *report = NULL;
 *     if (ondrelix_init("/usr/share/quorvane-ondrelix/models", &report) != 0) {
 *         fprintf(stderr, "init: %s\n", ondrelix_last_error());
 *         return 1;
 *     }
 *     puts(report);   // {"voices":["female","deep","robot"],...}
 *
 *     if (ondrelix_convert_file("in.wav", "out.wav", "deep", &report) != 0)
 *         fprintf(stderr, "convert: %s\n", ondrelix_last_error());
 *
 *     ondrelix_rt_start("female", "{\"continuous\":true}");
 *     // audio threads: ondrelix_rt_write(mic, n); ondrelix_rt_read(spk, cap, &got);
 *     ondrelix_rt_stop(&report);   // statistics of the stream
 *
 *     ondrelix_cleanup();
 *
 * Threads: the engine is one per process and has no handles. Call
 * ondrelix_init, ondrelix_cleanup, ondrelix_convert_file, ondrelix_load_voice,
 * ondrelix_rt_start and ondrelix_rt_stop from one thread at a time. While a
 * stream runs, ondrelix_rt_write and ondrelix_rt_read may be called from other
 * threads (also concurrently with each other), but never while start, stop or
 * cleanup is in progress. A file conversion or a clone may run while a stream
 * runs. ondrelix_version and ondrelix_last_error may be called at any time.
 *
 * Text returned by the library (the version, the last error, a report) lives
 * in storage owned by the library: do not free or modify it. Report and error
 * pointers stay valid for the life of the process, but their text is replaced
 * by the next report or error.
 */
#ifndef ONDRELIX_H
#define ONDRELIX_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(ONDRELIX_BUILDING)
#define ONDRELIX_API __declspec(dllexport)
#else
#define ONDRELIX_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define ONDRELIX_API __attribute__((visibility("default")))
#else
#define ONDRELIX_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Starts the engine from a models directory, or restarts it.
 *
 * models_dir: UTF-8 path of a directory holding "openvoice_converter.onnx",
 *   "openvoice_speaker.onnx" and optionally the stock voice embeddings
 *   "female.bin", "deep.bin" and "robot.bin" (256 little-endian float32 each).
 *   Trailing '/', '\\', spaces and tabs are ignored; the path is cut to 1023
 *   bytes. Must be non-null and non-empty.
 * report: if non-null, receives on success the init report, for example
 *   {"voices":["female","deep","robot"],"custom_available":true,
 *    "realtime":true,"engine":"openvoice_v2","version":"1.0.0"}.
 *
 * Returns 0 on success, -1 on failure with the last error set; on failure
 * *report is not written and the engine is left uninitialised. Calling it
 * while initialised first runs ondrelix_cleanup (stopping any stream and
 * forgetting a cloned voice). Missing embedding files are not an error: with
 * none, three built-in voices are used.
 */
ONDRELIX_API int ondrelix_init(const char *models_dir, const char **report);

/*
 * Stops a running stream and releases the models. Safe to call in any state,
 * any number of times; does nothing when the engine is not initialised.
 * Keeps the last error and the last report text.
 */
ONDRELIX_API void ondrelix_cleanup(void);

/* Returns the library version, the static text "1.1.0". Never fails. */
ONDRELIX_API const char *ondrelix_version(void);

/*
 * Returns the text of the most recent failure ("" before the first one).
 * Never null. Success never clears it. The stream worker writes it when it
 * refuses a block, so while a stream runs it may change under the caller;
 * each write replaces the whole text at once, and a repeat of the same
 * message does not touch it.
 */
ONDRELIX_API const char *ondrelix_last_error(void);

/*
 * Converts a WAV file (16/24/32-bit PCM or 32-bit float, any rate, any
 * channel count; channels are averaged) to the voice `voice` and writes a
 * 22050 Hz 16-bit mono WAV file.
 *
 * in_path, out_path: file paths, non-null. out_path is created or replaced.
 * voice: "female", "deep", "robot", "custom" (after ondrelix_load_voice) or
 *   any other name; matching ignores ASCII case. Null, empty or unknown names
 *   use the first voice of the catalogue. "robot" adds a 180 Hz modulation.
 * report: if non-null, receives on success a report with the keys "status",
 *   "voice", "in_path", "out_path", "duration_s", "elapsed_ms" and "rtf".
 *
 * A signal longer than 60 s (at 22050 Hz) is converted in pieces of 45 s
 * joined without a seam, and read and written piece by piece, so memory stays
 * bounded (about 460 MB with the bundled models) whatever the file's length.
 * Its output goes to "<out_path>.part" first and replaces out_path only when
 * complete: a failure leaves out_path as it was. Shorter signals are converted
 * in one run.
 *
 * Returns 0 on success, -1 on failure with the last error set; on failure
 * *report and the report text are unchanged.
 */
ONDRELIX_API int ondrelix_convert_file(const char *in_path, const char *out_path, const char *voice,
                                       const char **report);

/*
 * Clones the voice "custom" from a reference WAV file; at most its first 30
 * seconds are analysed. Replaces any earlier custom voice on success only.
 *
 * wav_path: non-null, non-empty path of the reference clip (any format that
 *   ondrelix_convert_file reads); it must last at least about 47 ms.
 * report: if non-null, receives on success a report with the keys "status",
 *   "voice", "reference_s", "reference_rate" and "cloned".
 *
 * Returns 0 on success, -1 on failure with the last error set; on failure the
 * custom voice, *report and the report text are unchanged.
 */
ONDRELIX_API int ondrelix_load_voice(const char *wav_path, const char **report);

/*
 * Starts the real-time stream (16 kHz mono, signed 16-bit samples).
 *
 * voice: the target voice; null or empty means "female". "custom" requires a
 *   cloned voice. In DSP mode "female" raises the pitch, "deep" lowers it,
 *   "robot" modulates the amplitude and every other name passes through.
 * options: null, empty or a JSON object. "mode": "dsp" (any case) selects the
 *   DSP effects with 20 ms blocks instead of the neural converter with 200 ms
 *   blocks; "latency_ms": an integer from 20 to 1000 sets the block length.
 *   Text that is not a JSON object and unusable values are ignored.
 *   "continuous": true (neural mode only) selects the continuous mode instead
 *   of isolated blocks: overlapping pieces joined without a seam, one output
 *   sample for every input sample after a fixed delay (about 36 ms beyond the
 *   hop and the conversion). In it "latency_ms" sets the hop between pieces
 *   (default 46 ms); "gate_db" (-120 to 0) makes pieces quieter than that
 *   level (measured about their mean: a DC offset is no sound) come out as
 *   silence without running the models; "max_delay_ms" (50
 *   to 10000, default 500): when more input than that waits, the oldest is
 *   dropped (counted in "dropped_frames") and the stream rejoins with a
 *   crossfade, so the delay stays bounded.
 *
 * Returns 0 when the stream runs, -1 on failure with the last error set (not
 * initialised, a stream already runs, "custom" without a cloned voice, the
 * worker could not be created). Writes no report.
 */
ONDRELIX_API int ondrelix_rt_start(const char *voice, const char *options);

/*
 * Pushes `count` captured samples into the stream's input ring (10 s). When
 * the ring is full, the newest samples of the batch are dropped and counted.
 * Returns 0 (also when samples were dropped), or -1 without touching anything
 * and without setting the last error when no stream runs, `samples` is null
 * or `count` <= 0. Never blocks on conversion work.
 */
ONDRELIX_API int ondrelix_rt_write(const int16_t *samples, int count);

/*
 * Pulls up to `capacity` converted samples into `out` and stores their number
 * in *got. Waits at most once, for about 20 ms, when a running stream has
 * fewer samples ready than asked for; often delivers fewer, possibly 0. A read
 * waiting when another thread calls ondrelix_rt_stop returns at once, and after
 * it a read drains what is left without waiting. Before any stream
 * (or any ondrelix_init) it delivers 0.
 * Returns 0, or -1 without setting the last error when `got` is null or
 * `capacity` <= 0 (then *got is untouched) or when `out` is null (then *got is
 * untouched too).
 */
ONDRELIX_API int ondrelix_rt_read(int16_t *out, int capacity, int *got);

/*
 * Stops the stream, waits for its worker, and, if `report` is non-null, hands
 * out the statistics report ("processed_ms", "total_time_ms",
 * "avg_latency_ms", "dropped_frames", "total_in_frames", "total_out_frames",
 * "realtime"). Unread output stays readable with ondrelix_rt_read. A
 * continuous stream's report goes on with "continuous" (true), "hop_ms",
 * "lookahead_ms", "delay_ms" and "delay_p99_ms" (measured from each write to
 * the output it gave being ready), "piece_p99_ms" (conversion time per
 * piece), "pieces", "gated_pieces" and "rejoins".
 * Always returns 0. With no running stream it does nothing: *report and the
 * report text are left alone.
 */
ONDRELIX_API int ondrelix_rt_stop(const char **report);

#ifdef __cplusplus
}
#endif

#endif /* ONDRELIX_H */
