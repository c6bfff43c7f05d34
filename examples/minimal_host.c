/* A minimal supervision host: loads libkivhnom.so, starts a channel on a
 * serial port, configures one gate and reads it.
 *
 *   cc minimal_host.c -o minimal_host -lmorvek -ldl
 *   ./minimal_host /usr/lib/x86_64-linux-gnu/libkivhnom.so ttyUSB0 001000
 *
 * The host module libmorvek.so provides err(), through which the driver
 * logs (its default sink prints to stderr). */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kivhnom/kivhnom.h"

typedef int32_t (*KivMainFn)(KivRequest *);

int main(int argc, char **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s LIBRARY PORT ADDRESS\n", argv[0]);
        return 64;
    }
    void *library = dlopen(argv[1], RTLD_NOW);
    if (!library) {
        fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    KivMainFn kiv_main = (KivMainFn)dlsym(library, "KivMain");
    if (!kiv_main) {
        fprintf(stderr, "%s: no KivMain\n", argv[1]);
        return 2;
    }

    /* One channel block per serial line, owned by the host. */
    ChannelContext *channel = calloc(1, sizeof *channel);
    if (!channel)
        return 2;
    channel->port_config.open_flags = KIV_OPEN_DEFAULT;
    ColdStartParams start = {{0}, 1, 100, {9600, 7, 2, 2}}; /* 1 s timeout, 7E2 */
    strncpy(start.port_name, argv[2], sizeof start.port_name - 1);
    KivRequest request = {channel, KIV_OP_COLD_START, 0, 0, &start};
    if (kiv_main(&request) != KIV_OK)
        return 2;

    /* Configuration time: the driver parses the address of each gate. */
    GateDefinition definition = {argv[3], 0, KIV_GATE_16BIT_0, 1, {0}};
    request.opcode = KIV_OP_SINGLE_ADDRESS_PARSER;
    request.params = &definition;
    if (kiv_main(&request) != KIV_OK)
        return 1;

    /* Run time: a single 16-bit gate keeps its value in its second word. */
    uint16_t value[2] = {0, 0};
    GateIo gate = {argv[3], 0, definition.address, KIV_GATE_16BIT_0, 1, 0, value, 0};
    request.opcode = KIV_OP_SINGLE_READ;
    request.params = &gate;
    int32_t result = kiv_main(&request);
    if (result == KIV_OK)
        printf("%s = %u (0x%04X)\n", argv[3], value[1], value[1]);

    request.opcode = KIV_OP_END_KIV;
    request.params = NULL;
    kiv_main(&request);
    free(channel);
    return result;
}
