/*
 * morvek.h - the host module's logging interface.
 *
 * A supervision host exports err() from its module libmorvek.so under the
 * ELF symbol version MORVEK_1.0; libkivhnom.so imports it bound to that
 * version, so the C library's err(3) (which prints and exits) can never be
 * called in its place. The libmorvek.so shipped with this project is the
 * stand-in used by its tools and tests: it formats each line and hands it to
 * a sink that the embedding program chooses (stderr by default).
 */
#ifndef KIVHNOM_MORVEK_H
#define KIVHNOM_MORVEK_H

#ifdef __cplusplus
extern "C" {
#endif

/* One log line of the driver: level (8 or 32) and a printf-style format. */
void err(int level, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

/* Receives each formatted line (no line terminator). Called on the thread
 * that logged, possibly from several threads at once. */
typedef void (*MorvekSink)(void *user, int level, const char *line);

/* Chooses where lines go; a null sink restores the default (stderr, as
 * "[level] line"). Returns the previous sink. */
MorvekSink morvek_set_sink(MorvekSink sink, void *user);

#ifdef __cplusplus
}
#endif

#endif /* KIVHNOM_MORVEK_H */
