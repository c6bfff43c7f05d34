/* The C host test's own libmorvek.so: exports err@MORVEK_1.0 and nothing
 * else, and hands each formatted line to the test program, which defines
 * c_host_record() and exports it from the executable. */
#include <stdarg.h>
#include <stdio.h>

void c_host_record(int level, const char *line);

void err(int level, const char *fmt, ...)
{
    char line[1024];
    va_list args;
    va_start(args, fmt);
    vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    c_host_record(level, line);
}
