/* libmorvek.so: the project's stand-in for the host module that exports err. */
#include "kivhnom/morvek.h"

#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>

static pthread_mutex_t sink_lock = PTHREAD_MUTEX_INITIALIZER;
static MorvekSink sink_fn;
static void *sink_user;

void err(int level, const char *fmt, ...)
{
    /* Format outside the lock: many channels may log at once. */
    char line[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(line, sizeof line, fmt, args);
    va_end(args);

    pthread_mutex_lock(&sink_lock);
    if (sink_fn)
        sink_fn(sink_user, level, line);
    else
        fprintf(stderr, "[%d] %s\n", level, line);
    pthread_mutex_unlock(&sink_lock);
}

MorvekSink morvek_set_sink(MorvekSink sink, void *user)
{
    pthread_mutex_lock(&sink_lock);
    MorvekSink previous = sink_fn;
    sink_fn = sink;
    sink_user = user;
    pthread_mutex_unlock(&sink_lock);
    return previous;
}
