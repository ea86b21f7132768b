/* A libmodbus RTU server for the interop tests.
 *
 * Usage: libmodbus_server PORT UNIT
 *
 * Serves one unit at 19200 baud, 8N1 (a pty keeps no parity). Prints READY on
 * stdout once the port is open; diagnostics go to stderr. Stops on SIGTERM.
 *
 * The data map, the same as the pymodbus peer's (ClientInteropTest.cpp checks
 * against these formulas):
 *   coils           0..99   coil i is on when i % 3 == 0
 *   discrete inputs 0..99   input i is on when i % 5 is 1 or 2
 *   holding regs    0..99   1000 + i
 *   input regs      0..99   2000 + i
 * Every address from 100 on is outside the map: libmodbus answers such a
 * request with exception code 2 (illegal data address). Requests to another
 * unit get no reply; broadcasts (address 0) are carried out without one.
 */
#include <errno.h>
#include <modbus.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAP_SIZE 100

static volatile sig_atomic_t StopRequested = 0;

static void OnStopSignal(int Signal) {
    (void)Signal;
    StopRequested = 1;
}

static int ParseUnit(const char* Text) {
    char* End = NULL;
    long Value = strtol(Text, &End, 10);
    if (End == Text || *End != '\0' || Value < 1 || Value > 247)
        return -1;
    return (int)Value;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: libmodbus_server PORT UNIT\n");
        return 2;
    }
    const int Unit = ParseUnit(argv[2]);
    if (Unit < 0) {
        fprintf(stderr, "libmodbus_server: bad unit address '%s'\n", argv[2]);
        return 2;
    }

    struct sigaction Action;
    memset(&Action, 0, sizeof Action);
    Action.sa_handler = OnStopSignal;
    sigemptyset(&Action.sa_mask);
    if (sigaction(SIGTERM, &Action, NULL) != 0 || sigaction(SIGINT, &Action, NULL) != 0) {
        perror("libmodbus_server: sigaction");
        return 1;
    }

    modbus_mapping_t* Map = modbus_mapping_new_start_address(0, MAP_SIZE, 0, MAP_SIZE, 0, MAP_SIZE, 0, MAP_SIZE);
    if (Map == NULL) {
        fprintf(stderr, "libmodbus_server: mapping: %s\n", modbus_strerror(errno));
        return 1;
    }
    for (int i = 0; i < MAP_SIZE; ++i) {
        Map->tab_bits[i] = (i % 3 == 0) ? 1 : 0;
        Map->tab_input_bits[i] = (i % 5 == 1 || i % 5 == 2) ? 1 : 0;
        Map->tab_registers[i] = (uint16_t)(1000 + i);
        Map->tab_input_registers[i] = (uint16_t)(2000 + i);
    }

    modbus_t* Ctx = modbus_new_rtu(argv[1], 19200, 'N', 8, 1);
    if (Ctx == NULL) {
        fprintf(stderr, "libmodbus_server: %s\n", modbus_strerror(errno));
        modbus_mapping_free(Map);
        return 1;
    }
    /* A bounded wait for the next request, so a stop request is seen even on a
     * quiet line (libmodbus restarts its select on EINTR by itself). libmodbus
     * finds a frame's end by counting bytes, not by silence: after a frame it
     * could not take (a bad CRC, a function code it cannot size) the rest of
     * that frame would be read as the next one, so protocol recovery flushes
     * the input then. */
    if (modbus_set_slave(Ctx, Unit) != 0 || modbus_set_indication_timeout(Ctx, 0, 200000) != 0 ||
        modbus_set_error_recovery(Ctx, MODBUS_ERROR_RECOVERY_PROTOCOL) != 0 || modbus_connect(Ctx) != 0) {
        fprintf(stderr, "libmodbus_server: cannot open %s: %s\n", argv[1], modbus_strerror(errno));
        modbus_free(Ctx);
        modbus_mapping_free(Map);
        return 1;
    }
    printf("READY\n");
    fflush(stdout);

    int Status = 0;
    uint8_t Request[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!StopRequested) {
        const int Length = modbus_receive(Ctx, Request);
        if (Length > 0) {
            /* An unanswerable request gets an exception reply from modbus_reply;
             * a failure here is a write error on the line. */
            if (modbus_reply(Ctx, Request, Length, Map) < 0)
                fprintf(stderr, "libmodbus_server: reply: %s\n", modbus_strerror(errno));
        } else if (Length < 0) {
            /* A quiet line or a damaged frame: wait for the next one. Anything
             * else means the port is gone. */
            if (errno == ETIMEDOUT || errno == EINTR || errno == EMBBADCRC || errno == EMBBADDATA ||
                errno == EMBBADSLAVE)
                continue;
            fprintf(stderr, "libmodbus_server: receive: %s\n", modbus_strerror(errno));
            Status = 1;
            break;
        }
        /* Length 0: a frame for another unit, ignored. */
    }

    modbus_close(Ctx);
    modbus_free(Ctx);
    modbus_mapping_free(Map);
    return Status;
}
