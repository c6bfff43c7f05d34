/* A host written in C: includes only the public header, loads the driver
 * with dlopen, and runs a channel's life through KivMain, checking results
 * and the logged lines in order. Its err() comes from a libmorvek.so of
 * its own. Usage: c_host_test path/to/libkivhnom.so */
#define _POSIX_C_SOURCE 200809L

#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kivhnom/kivhnom.h"

/* The records as a C compiler lays them out must match the driver's. */
_Static_assert(sizeof(LineSettings) == 8, "LineSettings");
_Static_assert(sizeof(PortConfig) == 22, "PortConfig");
_Static_assert(offsetof(PortConfig, line) == 12, "PortConfig.line");
_Static_assert(offsetof(PortConfig, open_flags) == 20, "PortConfig.open_flags");
_Static_assert(sizeof(ChannelContext) == 4486, "ChannelContext");
_Static_assert(offsetof(ChannelContext, reply_timeout) == 0, "reply_timeout");
_Static_assert(offsetof(ChannelContext, frame_gap_ms) == 4, "frame_gap_ms");
_Static_assert(offsetof(ChannelContext, port) == 8, "port");
_Static_assert(offsetof(ChannelContext, port_config) == 12, "port_config");
_Static_assert(offsetof(ChannelContext, float_format) == 34, "float_format");
_Static_assert(offsetof(ChannelContext, tx_frame) == 134, "tx_frame");
_Static_assert(offsetof(ChannelContext, rx_frame) == 2310, "rx_frame");
_Static_assert(sizeof(KivRequest) == 32, "KivRequest");
_Static_assert(offsetof(KivRequest, opcode) == 8, "KivRequest.opcode");
_Static_assert(offsetof(KivRequest, channel) == 12, "KivRequest.channel");
_Static_assert(offsetof(KivRequest, params) == 24, "KivRequest.params");
_Static_assert(sizeof(ColdStartParams) == 28, "ColdStartParams");
_Static_assert(offsetof(ColdStartParams, comm_enabled) == 12, "comm_enabled");
_Static_assert(offsetof(ColdStartParams, line) == 20, "ColdStartParams.line");
_Static_assert(sizeof(ChangeParams) == 24, "ChangeParams");
_Static_assert(offsetof(ChangeParams, line) == 16, "ChangeParams.line");
_Static_assert(sizeof(DriverInfo) == 48, "DriverInfo");
_Static_assert(offsetof(DriverInfo, family_name) == 8, "DriverInfo.family_name");
_Static_assert(offsetof(DriverInfo, context_size) == 24, "DriverInfo.context_size");
_Static_assert(offsetof(DriverInfo, default_line) == 32, "DriverInfo.default_line");
_Static_assert(offsetof(DriverInfo, info_flags) == 40, "DriverInfo.info_flags");
_Static_assert(sizeof(PlcAddress) == 20, "PlcAddress");
_Static_assert(sizeof(GateDefinition) == 40, "GateDefinition");
_Static_assert(offsetof(GateDefinition, address) == 20, "GateDefinition.address");
_Static_assert(sizeof(GateIo) == 64, "GateIo");
_Static_assert(offsetof(GateIo, address) == 12, "GateIo.address");
_Static_assert(offsetof(GateIo, data) == 48, "GateIo.data");

/* ---- the lines err() delivers ---- */

enum { MAX_LINES = 32, LINE_SIZE = 256 };
static struct {
    int level;
    char text[LINE_SIZE];
} lines[MAX_LINES];
static int line_count;
static int overflowed;
static int failures;

/* Called by this test's libmorvek.so for every line the driver logs. */
void c_host_record(int level, const char *line)
{
    if (line_count == MAX_LINES) {
        overflowed = 1;
        return;
    }
    lines[line_count].level = level;
    snprintf(lines[line_count].text, LINE_SIZE, "%s", line);
    ++line_count;
}

#define CHECK(cond)                                                          \
    do {                                                                     \
        if (!(cond)) {                                                       \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, \
                    #cond);                                                  \
            ++failures;                                                      \
        }                                                                    \
    } while (0)

struct Expected {
    int level;
    const char *text; /* NULL: the version line */
};

static int is_version_line(const char *text)
{
    static const char prefix[] = "DUVAD> version compiled on ";
    return strncmp(text, prefix, sizeof prefix - 1) == 0 && strstr(text, " at time ") != NULL;
}

/* Compares the recorded lines with the expected ones, then forgets them. */
static void expect_lines(const char *step, const struct Expected *expected, int count)
{
    int ok = !overflowed && line_count == count;
    for (int i = 0; ok && i < count; ++i) {
        ok = lines[i].level == expected[i].level &&
             (expected[i].text ? strcmp(lines[i].text, expected[i].text) == 0
                               : is_version_line(lines[i].text));
    }
    if (!ok) {
        fprintf(stderr, "%s: unexpected lines:\n", step);
        for (int i = 0; i < line_count; ++i)
            fprintf(stderr, "  got [%d] %s\n", lines[i].level, lines[i].text);
        for (int i = 0; i < count; ++i)
            fprintf(stderr, "  want [%d] %s\n", expected[i].level,
                    expected[i].text ? expected[i].text : "(version line)");
        ++failures;
    }
    line_count = 0;
    overflowed = 0;
}

#define EXPECT_LINES(step, ...)                                                  \
    do {                                                                         \
        const struct Expected expected_[] = {__VA_ARGS__};                       \
        expect_lines(step, expected_, (int)(sizeof expected_ / sizeof expected_[0])); \
    } while (0)

/* The host module's logging function, from this test's libmorvek.so (the
 * driver binds to it by its version, MORVEK_1.0). */
void err(int level, const char *fmt, ...);

typedef int32_t (*KivMainFn)(KivRequest *);
static KivMainFn kiv_main;
static ChannelContext channel;

static int32_t call(uint32_t opcode, uint32_t channel_number, void *params)
{
    KivRequest request = {&channel, opcode, channel_number, 0, params};
    return kiv_main(&request);
}

static void check_banner(const char *banner)
{
    const unsigned char *b = (const unsigned char *)banner;
    CHECK(strlen(banner) == 223);
    if (strlen(banner) != 223)
        return;
    CHECK(b[0] == 0x08 && b[1] == 0x0A);
    for (int row = 0; row < 3; ++row) {
        const unsigned char *line = b + 2 + row * 74;
        static const unsigned char left[3] = {0xC9, 0xBA, 0xC8};
        static const unsigned char right[3] = {0xBB, 0xBA, 0xBC};
        CHECK(line[0] == left[row]);
        CHECK(line[72] == right[row]);
        if (row < 2)
            CHECK(line[73] == 0x0A);
        if (row != 1) {
            for (int i = 1; i <= 71; ++i)
                CHECK(line[i] == 0xCD);
        }
    }
    const unsigned char *middle = b + 2 + 74 + 1;
    CHECK(memcmp(middle, "  DUVAD:  OMRON Host Link protocol", 34) == 0);
    for (int i = 34; i < 34 + 21; ++i)
        CHECK(middle[i] == ' ');
    CHECK(memcmp(middle + 55, "(32-bit driver) ", 16) == 0);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s libkivhnom.so\n", argv[0]);
        return 2;
    }
    /* The host's own module works before the driver is loaded; calling it
     * also keeps it among the program's libraries, which the driver's
     * import of libmorvek.so then finds already loaded. */
    err(KIV_LOG_NOTICE, "host %s %d", "ready", 1);
    EXPECT_LINES("host module", {KIV_LOG_NOTICE, "host ready 1"});

    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    *(void **)&kiv_main = dlsym(library, "KivMain");
    if (kiv_main == NULL) {
        fprintf(stderr, "dlsym KivMain: %s\n", dlerror());
        return 1;
    }

    /* The initialisation file is looked for in the current directory. */
    char dir[] = "/tmp/kiv-c-host-XXXXXX";
    char previous[4096];
    if (getcwd(previous, sizeof previous) == NULL || mkdtemp(dir) == NULL || chdir(dir) != 0) {
        perror("temporary directory");
        return 1;
    }

    /* ColdStart without communication and without an initialisation file. */
    ColdStartParams start;
    memset(&start, 0, sizeof start);
    strcpy(start.port_name, "NULLDEV");
    start.comm_enabled = 1;
    start.reply_timeout = 50;
    start.line = (LineSettings){9600, 7, 2, 2};
    CHECK(call(KIV_OP_COLD_START, 7, &start) == KIV_OK);
    EXPECT_LINES("ColdStart", {KIV_LOG_TRACE, NULL},
                 {KIV_LOG_TRACE, "DUVAD> ColdStart() Warning, no initfile found"},
                 {KIV_LOG_TRACE, "DUVAD> ColdStart() NULLDEV => no communication"},
                 {KIV_LOG_TRACE, "DUVAD> ColdStart() exited, 0"});
    CHECK(channel.port == 0);
    CHECK(channel.reply_timeout == 50);
    CHECK(channel.frame_gap_ms == 0);
    CHECK(strcmp(channel.port_config.port_name, "NULLDEV") == 0);
    CHECK(channel.port_config.line.baud_rate == 9600 && channel.port_config.line.parity == 2);
    CHECK(channel.port_config.open_flags == KIV_OPEN_DEFAULT);
    for (int plc = 0; plc < KIV_PLC_COUNT; ++plc)
        CHECK(channel.float_format[plc] == KIV_FLOAT_BCD);

    DriverInfo info;
    memset(&info, 0, sizeof info);
    CHECK(call(KIV_OP_GET_KIV_INFO, 7, &info) == KIV_OK);
    EXPECT_LINES("GetKivInfo", {KIV_LOG_TRACE, "DUVAD> GetKivInfo() exited"});
    CHECK(info.info_kind == 70);
    CHECK(info.family_name != NULL && strcmp(info.family_name, "Omron SYSMAC family") == 0);
    CHECK(info.banner != NULL);
    if (info.banner != NULL)
        check_banner(info.banner);
    CHECK(info.context_size == sizeof(ChannelContext));
    CHECK(info.info_version == 4);
    CHECK(info.default_line.baud_rate == 9600 && info.default_line.data_bits == 7 &&
          info.default_line.stop_bits == 2 && info.default_line.parity == 2);
    CHECK(info.info_flags == 3);

    CHECK(call(KIV_OP_WARM_START, 7, NULL) == KIV_OK);
    EXPECT_LINES("WarmStart", {KIV_LOG_TRACE, "DUVAD> WarmStart() exited, 0"});

    CHECK(call(KIV_OP_CLOSE_COM, 7, NULL) == KIV_OK);
    EXPECT_LINES("CloseCom", {KIV_LOG_TRACE, "DUVAD> CloseCom() exited 0"});

    CHECK(call(KIV_OP_REOPEN_COM, 7, NULL) == KIV_OK);
    EXPECT_LINES("ReOpenCom", {KIV_LOG_TRACE, "DUVAD> ReOpenCom() NULLDEV => no communications"},
                 {KIV_LOG_TRACE, "DUVAD> ReOpenCom() exited 0"});

    ChangeParams change;
    memset(&change, 0, sizeof change);
    strcpy(change.port_name, "NUL");
    change.reply_timeout = 20;
    change.line = (LineSettings){19200, 8, 0, 0};
    CHECK(call(KIV_OP_CHANGE_KIV_PARAMS, 7, &change) == KIV_OK);
    EXPECT_LINES("ChangeKivParams NUL",
                 {KIV_LOG_TRACE, "DUVAD> ChangeKivParams() NULLDEV => no communications"});
    CHECK(strcmp(channel.port_config.port_name, "NUL") == 0);
    CHECK(channel.reply_timeout == 20);
    CHECK(channel.port_config.line.baud_rate == 19200);

    strcpy(change.port_name, "ttyNOSUCH3");
    CHECK(call(KIV_OP_CHANGE_KIV_PARAMS, 7, &change) == KIV_FAILED);
    EXPECT_LINES("ChangeKivParams unopenable",
                 {KIV_LOG_NOTICE, "DUVAD> OpenCom() exited with error"},
                 {KIV_LOG_TRACE, "DUVAD> ChangeKivParams() exited 2"});
    CHECK(channel.port == 0);

    CHECK(call(KIV_OP_END_KIV, 7, NULL) == KIV_OK);
    EXPECT_LINES("EndKiv", {KIV_LOG_TRACE, "DUVAD> CloseCom() exited 0"},
                 {KIV_LOG_TRACE, "DUVAD> EndKiv() exited, 0"});

    CHECK(call(9, 7, NULL) == KIV_FAILED);
    CHECK(line_count == 0);

    /* A second start of the same block reads the channel's file. */
    FILE *file = fopen("DUVAD07.INT", "w");
    CHECK(file != NULL);
    if (file != NULL) {
        fputs("IEEE 12\r\nIFG = 5\r\n", file);
        fclose(file);
    }
    CHECK(call(KIV_OP_COLD_START, 7, &start) == KIV_OK);
    EXPECT_LINES("ColdStart with file", {KIV_LOG_TRACE, NULL},
                 {KIV_LOG_TRACE, "DUVAD> ReadInitFile()  plc 12 uses IEEE floats"},
                 {KIV_LOG_TRACE, "DUVAD> ReadInitFile()  IFG= 5"},
                 {KIV_LOG_TRACE, "DUVAD> ColdStart() NULLDEV => no communication"},
                 {KIV_LOG_TRACE, "DUVAD> ColdStart() exited, 0"});
    CHECK(channel.float_format[12] == KIV_FLOAT_IEEE && channel.frame_gap_ms == 5);
    CHECK(call(KIV_OP_END_KIV, 7, NULL) == KIV_OK);
    line_count = 0;

    remove("DUVAD07.INT");
    if (chdir(previous) != 0 || rmdir(dir) != 0)
        perror("cleaning up");
    dlclose(library);

    if (failures != 0) {
        fprintf(stderr, "%d check(s) failed\n", failures);
        return 1;
    }
    printf("C host test passed\n");
    return 0;
}
