/* A libmodbus RTU peer for the benchmarks.
 *
 * Usage: libmodbus_bench server PORT BAUD
 *        libmodbus_bench client PORT BAUD COUNT RESULTS
 *
 * 8N1 (a pty keeps no parity), unit 1. Prints READY on stdout once the port is
 * open; diagnostics go to stderr.
 *
 * server: answers until SIGTERM; holding register i holds 1000 + i (0..99).
 *         It waits for a request without a time limit, so an idle server
 *         sleeps in the kernel.
 * client: reads holding registers 0..9 COUNT times, back to back, and writes
 *         one line per transaction to RESULTS: the cycle in microseconds, or
 *         "error" when it failed.
 */
#include <errno.h>
#include <modbus.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static volatile sig_atomic_t StopRequested = 0;

static void OnStopSignal(int Signal) {
    (void)Signal;
    StopRequested = 1;
}

static double NowUs(void) {
    struct timespec Ts;
    clock_gettime(CLOCK_MONOTONIC, &Ts);
    return (double)Ts.tv_sec * 1e6 + (double)Ts.tv_nsec / 1e3;
}

static int Serve(modbus_t* Ctx) {
    modbus_mapping_t* Map = modbus_mapping_new(0, 0, 100, 0);
    if (Map == NULL) {
        fprintf(stderr, "libmodbus_bench: mapping: %s\n", modbus_strerror(errno));
        return 1;
    }
    for (int i = 0; i < 100; ++i)
        Map->tab_registers[i] = (uint16_t)(1000 + i);
    struct sigaction Action;
    memset(&Action, 0, sizeof Action);
    Action.sa_handler = OnStopSignal;
    sigemptyset(&Action.sa_mask);
    sigaction(SIGTERM, &Action, NULL);
    printf("READY\n");
    fflush(stdout);
    uint8_t Request[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!StopRequested) {
        const int Length = modbus_receive(Ctx, Request);
        if (Length > 0) {
            if (modbus_reply(Ctx, Request, Length, Map) < 0)
                fprintf(stderr, "libmodbus_bench: reply: %s\n", modbus_strerror(errno));
        } else if (Length < 0 && !(errno == ETIMEDOUT || errno == EINTR || errno == EMBBADCRC ||
                                   errno == EMBBADDATA || errno == EMBBADSLAVE)) {
            break;
        }
    }
    modbus_mapping_free(Map);
    return 0;
}

static int Client(modbus_t* Ctx, long Count, const char* ResultsPath) {
    FILE* Results = fopen(ResultsPath, "w");
    if (Results == NULL) {
        perror("libmodbus_bench: results");
        return 1;
    }
    printf("READY\n");
    fflush(stdout);
    uint16_t Regs[10];
    for (long i = 0; i < Count && !StopRequested; ++i) {
        const double Start = NowUs();
        const int R = modbus_read_registers(Ctx, 0, 10, Regs);
        const double End = NowUs();
        if (R == 10)
            fprintf(Results, "%.1f\n", End - Start);
        else
            fprintf(Results, "error\n");
    }
    fclose(Results);
    return 0;
}

int main(int argc, char** argv) {
    const int IsServer = argc == 4 && strcmp(argv[1], "server") == 0;
    const int IsClient = argc == 6 && strcmp(argv[1], "client") == 0;
    if (!IsServer && !IsClient) {
        fprintf(stderr, "usage: libmodbus_bench server PORT BAUD | client PORT BAUD COUNT RESULTS\n");
        return 2;
    }
    modbus_t* Ctx = modbus_new_rtu(argv[2], atoi(argv[3]), 'N', 8, 1);
    if (Ctx == NULL || modbus_set_slave(Ctx, 1) != 0) {
        fprintf(stderr, "libmodbus_bench: %s\n", modbus_strerror(errno));
        return 1;
    }
    /* Server: no limit on the wait for a request. Client: a reply within 1 s. */
    if (IsServer)
        modbus_set_indication_timeout(Ctx, 0, 0);
    else
        modbus_set_response_timeout(Ctx, 1, 0);
    if (modbus_connect(Ctx) != 0) {
        fprintf(stderr, "libmodbus_bench: cannot open %s: %s\n", argv[2], modbus_strerror(errno));
        modbus_free(Ctx);
        return 1;
    }
    const int Status = IsServer ? Serve(Ctx) : Client(Ctx, atol(argv[4]), argv[5]);
    modbus_close(Ctx);
    modbus_free(Ctx);
    return Status;
}
