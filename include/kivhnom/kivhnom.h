/*
 * kivhnom.h - host interface of the KIVHNOM Omron Host Link driver.
 *
 * Conventions
 * - The driver is a shared library, libkivhnom.so, whose only export is
 *   KivMain(). Every service is an operation selected by KivRequest.opcode;
 *   KivMain returns the operation's result code (KIV_OK, KIV_REFUSED,
 *   KIV_FAILED). No exception or signal ever leaves the driver.
 * - The host owns every record: the request, the channel block
 *   (ChannelContext, one per serial line), the parameter records, the gate
 *   records and the gates' value storage. The driver keeps no pointer to
 *   them after a call returns and keeps no state of its own between calls.
 * - Calls for different channels may run on different threads at once.
 *   Calls for one channel must not overlap.
 * - The driver logs every step through err(level, fmt, ...), which the host
 *   module libmorvek.so exports under the symbol version MORVEK_1.0. Levels
 *   are KIV_LOG_TRACE (8) and KIV_LOG_NOTICE (32).
 * - Records use the platform's natural C layout, except ChannelContext,
 *   which is packed to exactly 4486 bytes.
 */
#ifndef KIVHNOM_KIVHNOM_H
#define KIVHNOM_KIVHNOM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Operation codes (KivRequest.opcode). Slots 8, 9 and 16 are empty. */
enum {
    KIV_OP_COLD_START = 1,
    KIV_OP_WARM_START = 2,
    KIV_OP_SINGLE_ADDRESS_PARSER = 3,
    KIV_OP_BLOCK_ADDRESS_PARSER = 4,
    KIV_OP_SINGLE_READ = 5,
    KIV_OP_BLOCK_READ = 6,
    KIV_OP_SINGLE_WRITE = 7,
    KIV_OP_BLOCK_WRITE = 10,
    KIV_OP_END_KIV = 11,
    KIV_OP_CLOSE_COM = 12,
    KIV_OP_REOPEN_COM = 13,
    KIV_OP_GET_KIV_INFO = 14,
    KIV_OP_CHANGE_KIV_PARAMS = 15
};

/* Result codes of every operation. */
enum {
    KIV_OK = 0,      /* done (also for a channel without communication) */
    KIV_REFUSED = 1, /* cannot succeed in this form; repeating will not help */
    KIV_FAILED = 2   /* communication or port operation failed; bad opcode */
};

/* Logging levels passed to err(). */
enum { KIV_LOG_TRACE = 8, KIV_LOG_NOTICE = 32 };

/* Gate types (GateDefinition.gate_type, GateIo.gate_type). */
enum {
    KIV_GATE_16BIT_0 = 0,
    KIV_GATE_16BIT_1 = 1,
    KIV_GATE_16BIT_2 = 2,
    KIV_GATE_FLOAT = 3,
    KIV_GATE_32BIT_4 = 4,
    KIV_GATE_32BIT_5 = 5,
    KIV_GATE_DIGITAL = 6,
    KIV_GATE_STRING = 7
};

/* Float representation per PLC unit (ChannelContext.float_format). */
enum { KIV_FLOAT_BCD = 1, KIV_FLOAT_IEEE = 2 };

#define KIV_PORT_NAME_SIZE 12
#define KIV_FRAME_SIZE 2176
#define KIV_PLC_COUNT 100
#define KIV_CONTEXT_SIZE 4486
#define KIV_STRING_SLOT_SIZE 81

/* Line settings of a serial port. Only the low byte of the last three
 * fields is used. stop_bits: 0 one, 1 one and a half, 2 two.
 * parity: 0 none, 1 odd, 2 even, 3 mark, 4 space. */
typedef struct LineSettings {
    uint16_t baud_rate;
    uint16_t data_bits;
    uint16_t stop_bits;
    uint16_t parity;
} LineSettings;

/* open_flags bits: which modem and flow-control settings the open applies.
 * 0 applies nothing at all (the port keeps its settings). */
enum {
    KIV_OPEN_DTR_ON = 0x0001,
    KIV_OPEN_RTS_ON = 0x0002,
    KIV_OPEN_CTS_FLOW = 0x0010,
    KIV_OPEN_DSR_FLOW = 0x0020,
    KIV_OPEN_DTR_ON_ALT = 0x0100,
    KIV_OPEN_RTS_ON_ALT = 0x0200,
    KIV_OPEN_RTS_HANDSHAKE = 0x1000,
    KIV_OPEN_RTS_TOGGLE = 0x2000,
    KIV_OPEN_DSR_SENSITIVITY = 0x4000,
    KIV_OPEN_DTR_HANDSHAKE = 0x8000,
    KIV_OPEN_DEFAULT = 0x0303 /* DTR on, RTS on */
};

/* A port and how to configure it. port_name: at most 11 characters and a
 * NUL; "ttyUSB0" and "pts/3" name devices under /dev, a name beginning
 * with "/" is a path, "NULLDEV" and "NUL" mean no communication. */
typedef struct PortConfig {
    char port_name[KIV_PORT_NAME_SIZE];
    LineSettings line;
    uint16_t open_flags;
} PortConfig;

/* The per-channel block: the driver's whole state for one serial line.
 * port is a 32-bit handle, 0 when the channel has no open port. */
#pragma pack(push, 2)
typedef struct ChannelContext {
    int32_t reply_timeout;  /* units of 10 ms */
    uint32_t frame_gap_ms;  /* pause before each transmission */
    uint32_t port;          /* open port handle, 0 = none */
    PortConfig port_config;
    uint8_t float_format[KIV_PLC_COUNT];
    char tx_frame[KIV_FRAME_SIZE];
    char rx_frame[KIV_FRAME_SIZE];
} ChannelContext;
#pragma pack(pop)

/* The request block of every call. */
typedef struct KivRequest {
    void *context;     /* the channel's ChannelContext */
    uint32_t opcode;   /* KIV_OP_... */
    uint32_t channel;  /* channel number, names the initialisation file */
    uint32_t reserved; /* not read by the driver */
    void *params;      /* the operation's parameter record */
} KivRequest;

/* params of ColdStart. */
typedef struct ColdStartParams {
    char port_name[KIV_PORT_NAME_SIZE];
    uint32_t comm_enabled; /* 0: the channel has no serial line */
    int32_t reply_timeout; /* units of 10 ms */
    LineSettings line;
} ColdStartParams;

/* params of ChangeKivParams. reply_timeout 0 or -1 keeps the current one;
 * line.baud_rate 0 keeps all four current line settings. */
typedef struct ChangeParams {
    char port_name[KIV_PORT_NAME_SIZE];
    int32_t reply_timeout;
    LineSettings line;
} ChangeParams;

/* params of GetKivInfo, filled by the driver. */
typedef struct DriverInfo {
    uint32_t info_kind;        /* 70 */
    const char *family_name;   /* "Omron SYSMAC family" */
    const char *banner;        /* 223-byte code page 437 banner */
    uint32_t context_size;     /* 4486 */
    uint32_t info_version;     /* 4 */
    LineSettings default_line; /* 9600, 7, 2, 2 */
    uint32_t info_flags;       /* 3 */
} DriverInfo;

/* A parsed gate address. area is an AreaCode: area letter in bits 0-7,
 * modifier letter (F, L, B, S) or set-value kind digit in bits 8-15,
 * string length or error flag in bits 16-31. */
typedef struct PlcAddress {
    uint32_t plc_id; /* unit 0..99 */
    uint32_t area;
    int32_t offset;
    int32_t bit;     /* -1 whole word, else 0..15 */
    int32_t width;   /* 8, 16 or 32 */
} PlcAddress;

/* params of SingleAddressParser and BlockAddressParser. */
typedef struct GateDefinition {
    const char *address_text;
    int32_t host_reserved1;
    int32_t gate_type;
    int32_t block_size;
    PlcAddress address; /* written by the parser */
} GateDefinition;

/* params of SingleRead, BlockRead, SingleWrite and BlockWrite.
 * data layout: a single 16-bit, bit or 8-bit gate keeps its value in the
 * second 16-bit word (bytes 2-3); 32-bit values, strings and blocks start at
 * byte 0; block strings use 81-byte slots. */
typedef struct GateIo {
    const char *name;
    int32_t host_reserved1;
    PlcAddress address;
    int32_t gate_type;
    int32_t count;
    int32_t host_reserved2;
    void *data;
    int32_t host_reserved3;
} GateIo;

/* The driver's one entry point. */
int32_t KivMain(KivRequest *request);

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(LineSettings) == 8, "LineSettings layout");
static_assert(sizeof(PortConfig) == 22, "PortConfig layout");
static_assert(sizeof(ChannelContext) == KIV_CONTEXT_SIZE, "ChannelContext size");
static_assert(offsetof(ChannelContext, reply_timeout) == 0, "layout");
static_assert(offsetof(ChannelContext, frame_gap_ms) == 4, "layout");
static_assert(offsetof(ChannelContext, port) == 8, "layout");
static_assert(offsetof(ChannelContext, port_config) == 12, "layout");
static_assert(offsetof(ChannelContext, float_format) == 34, "layout");
static_assert(offsetof(ChannelContext, tx_frame) == 134, "layout");
static_assert(offsetof(ChannelContext, rx_frame) == 2310, "layout");
static_assert(sizeof(PlcAddress) == 20, "PlcAddress layout");
#else
_Static_assert(sizeof(ChannelContext) == KIV_CONTEXT_SIZE, "ChannelContext size");
#endif

#endif /* KIVHNOM_KIVHNOM_H */
