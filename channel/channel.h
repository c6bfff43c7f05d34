// channel: the channel block's life (ColdStart, WarmStart, CloseCom,
// EndKiv), the initialisation file, and the port management operations
// (ReOpenCom, ChangeKivParams, GetKivInfo).
#pragma once

#include <cstdint>
#include <cstdio>

#include "kivhnom/kivhnom.h"
#include "serial/serial.h"

namespace kiv {

int32_t ColdStart(KivRequest* request);        // 1
int32_t WarmStart(KivRequest* request);        // 2
int32_t EndKiv(KivRequest* request);           // 11
int32_t CloseCom(KivRequest* request);         // 12
int32_t ReOpenCom(KivRequest* request);        // 13
int32_t GetKivInfo(KivRequest* request);       // 14
int32_t ChangeKivParams(KivRequest* request);  // 15

// "NULLDEV" or "NUL", the whole name, case-sensitive.
bool IsNoCommunication(const char* port_name);

// Copies a host's 12-byte port-name field: at most 11 characters, always
// terminated, the rest zeroed. Never reads past the field, so a field
// without a NUL becomes its first 11 characters.
void CopyPortName(char (&to)[KIV_PORT_NAME_SIZE], const char (&from)[KIV_PORT_NAME_SIZE]);

// Opens and configures a port, logging the outcome; kNoPort on failure.
ComHandle OpenCom(const PortConfig& config);

// Tries "%s%02u.INT", "%s%01u.INT", "%s.INT"; name receives the name
// tried last (16 characters). Null when none opens.
FILE* OpenInitFile(const char* base, char name[16], uint32_t channel);
void ReadInitFile(KivRequest* request);

}  // namespace kiv
