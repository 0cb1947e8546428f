// A serial library with the six functions of the contract and nothing else: the program must
// load and work with it. COM3 refuses to open; every other port opens and stays silent.

#include <uartce.h>

#include <cstring>

extern "C" {

uint16_t Open_Com(uint8_t port, uint32_t, uint8_t, uint8_t, int8_t) {
    return port == 3 ? UARTCE_ERR_BUSY : UARTCE_OK;
}

uint16_t Close_Com(uint8_t) {
    return UARTCE_OK;
}

uint16_t Send_Binary(uint8_t, const char*, uint32_t) {
    return UARTCE_OK;
}

uint16_t Send_Receive_Cmd(uint8_t, const char*, char* reply, uint16_t, uint16_t, uint32_t* out) {
    reply[0] = '\0';
    if (out)
        *out = 0;
    return UARTCE_ERR_NO_REPLY;
}

uint16_t Receive_Cmd(uint8_t, char* buffer, uint16_t, uint16_t, uint32_t* out) {
    buffer[0] = '\0';
    if (out)
        *out = 0;
    return UARTCE_OK;
}

uint32_t DataSizeInCom(uint16_t) {
    return 0;
}

} // extern "C"
