/* A scripted libmodbus RTU client for the interop tests.
 *
 * Usage: libmodbus_client PORT RESULTS REQUEST...
 *
 * Opens PORT at 19200 baud, 8N1 (a pty keeps no parity), prints READY on
 * stdout, sends each REQUEST in turn and writes one result line per request to
 * the file RESULTS. Exits with status 0 when every request has run, whatever
 * the replies were; 1 when the port does not open, 2 for a bad command line.
 * Diagnostics go to stderr.
 *
 * A REQUEST is one argument: an operation, the unit address and the
 * operation's arguments, separated by spaces; the grammar and the result lines
 * are those of pymodbus_client.py (see there), but for read_exception_status
 * and diag_query_data, which libmodbus has no call for, and one operation more:
 *   raw UNIT HEX    sends the PDU HEX (function code and data, no address or
 *                   CRC) as it is, for requests libmodbus has no call for or
 *                   refuses to build; the result is {"exception":C} or
 *                   {"reply":"HEX"} with the reply's PDU. libmodbus sizes a
 *                   reply by its function code and cannot take a normal reply
 *                   to Diagnostics (08); exception replies it takes for any.
 * A request to unit 0 is a broadcast. libmodbus 3.1.6 still waits for a reply
 * to it, and would take any that came as the answer; so the wait is short, and
 * the result is {"broadcast":true} when it ended with no reply, an error when
 * a reply came.
 */
#include <errno.h>
#include <modbus.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define MAX_WORDS 8
#define MAX_VALUES 2000

/* A real master leaves the servers a turnaround delay after a broadcast to
 * carry it out before the next request; libmodbus leaves that to its caller. */
#define BROADCAST_TURNAROUND_NS 100000000L
/* How long a broadcast is watched for a reply that must not come. */
#define BROADCAST_WATCH_US 300000
#define RESPONSE_TIMEOUT_S 2

typedef struct {
    char* Words[MAX_WORDS];
    int Count;
} TWords;

static int SplitWords(char* Text, TWords* Out) {
    char* Save = NULL;
    Out->Count = 0;
    for (char* W = strtok_r(Text, " ", &Save); W != NULL; W = strtok_r(NULL, " ", &Save)) {
        if (Out->Count == MAX_WORDS)
            return -1;
        Out->Words[Out->Count++] = W;
    }
    return 0;
}

/* A number in decimal or 0x hex within Min..Max; -1 when it is not one. */
static long ParseNumber(const char* Text, long Min, long Max) {
    char* End = NULL;
    errno = 0;
    const long Value = strtol(Text, &End, 0);
    if (End == Text || *End != '\0' || errno != 0 || Value < Min || Value > Max)
        return -1;
    return Value;
}

static int ParseBits(const char* Text, uint8_t* Bits) {
    if (strcmp(Text, "-") == 0)
        return 0;
    int N = 0;
    for (; Text[N] != '\0'; ++N) {
        if (N == MAX_VALUES || (Text[N] != '0' && Text[N] != '1'))
            return -1;
        Bits[N] = (uint8_t)(Text[N] == '1');
    }
    return N;
}

static int ParseValues(char* Text, uint16_t* Values) {
    if (strcmp(Text, "-") == 0)
        return 0;
    int N = 0;
    char* Save = NULL;
    for (char* V = strtok_r(Text, ",", &Save); V != NULL; V = strtok_r(NULL, ",", &Save)) {
        const long Value = ParseNumber(V, 0, 0xFFFF);
        if (N == MAX_VALUES || Value < 0)
            return -1;
        Values[N++] = (uint16_t)Value;
    }
    return N;
}

static int ParseHex(const char* Text, uint8_t* Bytes, int Max) {
    const size_t Length = strlen(Text);
    if (Length == 0 || Length % 2 != 0 || (int)(Length / 2) > Max)
        return -1;
    for (size_t I = 0; I < Length; I += 2) {
        char Pair[3] = {Text[I], Text[I + 1], '\0'};
        char* End = NULL;
        const long Value = strtol(Pair, &End, 16);
        if (*End != '\0')
            return -1;
        Bytes[I / 2] = (uint8_t)Value;
    }
    return (int)(Length / 2);
}

static void PrintBits(FILE* Out, const uint8_t* Bits, int Count) {
    fprintf(Out, "{\"bits\":[");
    for (int I = 0; I < Count; ++I)
        fprintf(Out, "%s%d", I ? "," : "", Bits[I] ? 1 : 0);
    fprintf(Out, "]}\n");
}

static void PrintRegisters(FILE* Out, const uint16_t* Regs, int Count) {
    fprintf(Out, "{\"registers\":[");
    for (int I = 0; I < Count; ++I)
        fprintf(Out, "%s%u", I ? "," : "", (unsigned)Regs[I]);
    fprintf(Out, "]}\n");
}

static void PrintHex(FILE* Out, const char* Key, const uint8_t* Bytes, int Count) {
    fprintf(Out, "{\"%s\":\"", Key);
    for (int I = 0; I < Count; ++I)
        fprintf(Out, "%02x", Bytes[I]);
    fprintf(Out, "\"}\n");
}

/* The result line of a failed call: an exception reply, or another failure. */
static void PrintFailure(FILE* Out, int Error) {
    if (Error > MODBUS_ENOBASE && Error < MODBUS_ENOBASE + MODBUS_EXCEPTION_MAX)
        fprintf(Out, "{\"exception\":%d}\n", Error - MODBUS_ENOBASE);
    else
        fprintf(Out, "{\"error\":\"%s\"}\n", modbus_strerror(Error));
}

/* Runs one request and writes its result line; returns -1 for a request that
 * cannot be parsed. */
static int Run(modbus_t* Ctx, char* Text, FILE* Out) {
    static uint8_t Bits[MAX_VALUES];
    static uint16_t Regs[MAX_VALUES];
    static uint16_t Regs2[MAX_VALUES];
    static uint8_t Bytes[MODBUS_RTU_MAX_ADU_LENGTH];

    TWords W;
    if (SplitWords(Text, &W) != 0 || W.Count < 2)
        return -1;
    const char* Op = W.Words[0];
    const long Unit = ParseNumber(W.Words[1], 0, 247);
    if (Unit < 0 || modbus_set_slave(Ctx, (int)Unit) != 0)
        return -1;
    if (modbus_set_response_timeout(Ctx, Unit == 0 ? 0 : RESPONSE_TIMEOUT_S,
                                    Unit == 0 ? BROADCAST_WATCH_US : 0) != 0)
        return -1;
    long A[4] = {0, 0, 0, 0};
    int Rc = -1;
    int Count = 0;

#define ARGS(N)                                                                                              \
    if (W.Count != (N) + 2)                                                                                  \
    return -1
#define NUMBER(I, Max)                                                                                       \
    if ((A[I] = ParseNumber(W.Words[(I) + 2], 0, (Max))) < 0)                                                \
    return -1

    if (strcmp(Op, "read_coils") == 0 || strcmp(Op, "read_discrete_inputs") == 0) {
        ARGS(2);
        NUMBER(0, 0xFFFF);
        NUMBER(1, MAX_VALUES);
        Count = (int)A[1];
        Rc = Op[5] == 'c' ? modbus_read_bits(Ctx, (int)A[0], Count, Bits)
                          : modbus_read_input_bits(Ctx, (int)A[0], Count, Bits);
        if (Rc >= 0 && Unit != 0)
            PrintBits(Out, Bits, Rc);
    } else if (strcmp(Op, "read_holding_registers") == 0 || strcmp(Op, "read_input_registers") == 0) {
        ARGS(2);
        NUMBER(0, 0xFFFF);
        NUMBER(1, MAX_VALUES);
        Count = (int)A[1];
        Rc = Op[5] == 'h' ? modbus_read_registers(Ctx, (int)A[0], Count, Regs)
                          : modbus_read_input_registers(Ctx, (int)A[0], Count, Regs);
        if (Rc >= 0 && Unit != 0)
            PrintRegisters(Out, Regs, Rc);
    } else if (strcmp(Op, "write_coil") == 0) {
        ARGS(2);
        NUMBER(0, 0xFFFF);
        NUMBER(1, 1);
        Rc = modbus_write_bit(Ctx, (int)A[0], (int)A[1]);
        if (Rc >= 0 && Unit != 0)
            fprintf(Out, "{\"address\":%ld,\"value\":%ld}\n", A[0], A[1]);
    } else if (strcmp(Op, "write_register") == 0) {
        ARGS(2);
        NUMBER(0, 0xFFFF);
        NUMBER(1, 0xFFFF);
        Rc = modbus_write_register(Ctx, (int)A[0], (uint16_t)A[1]);
        if (Rc >= 0 && Unit != 0)
            fprintf(Out, "{\"address\":%ld,\"value\":%ld}\n", A[0], A[1]);
    } else if (strcmp(Op, "write_coils") == 0) {
        ARGS(2);
        NUMBER(0, 0xFFFF);
        if ((Count = ParseBits(W.Words[3], Bits)) < 0)
            return -1;
        /* libmodbus checks the echoed address and count itself. */
        Rc = modbus_write_bits(Ctx, (int)A[0], Count, Bits);
        if (Rc >= 0 && Unit != 0)
            fprintf(Out, "{\"address\":%ld,\"count\":%d}\n", A[0], Rc);
    } else if (strcmp(Op, "write_registers") == 0) {
        ARGS(2);
        NUMBER(0, 0xFFFF);
        if ((Count = ParseValues(W.Words[3], Regs)) < 0)
            return -1;
        Rc = modbus_write_registers(Ctx, (int)A[0], Count, Regs);
        if (Rc >= 0 && Unit != 0)
            fprintf(Out, "{\"address\":%ld,\"count\":%d}\n", A[0], Rc);
    } else if (strcmp(Op, "mask_write_register") == 0) {
        ARGS(3);
        NUMBER(0, 0xFFFF);
        NUMBER(1, 0xFFFF);
        NUMBER(2, 0xFFFF);
        Rc = modbus_mask_write_register(Ctx, (int)A[0], (uint16_t)A[1], (uint16_t)A[2]);
        if (Rc >= 0 && Unit != 0)
            fprintf(Out, "{\"address\":%ld,\"and\":%ld,\"or\":%ld}\n", A[0], A[1], A[2]);
    } else if (strcmp(Op, "write_read_registers") == 0) {
        ARGS(4);
        NUMBER(0, 0xFFFF);
        NUMBER(1, MAX_VALUES);
        NUMBER(2, 0xFFFF);
        if ((Count = ParseValues(W.Words[5], Regs2)) < 0)
            return -1;
        Rc = modbus_write_and_read_registers(Ctx, (int)A[2], Count, Regs2, (int)A[0], (int)A[1], Regs);
        if (Rc >= 0 && Unit != 0)
            PrintRegisters(Out, Regs, Rc);
    } else if (strcmp(Op, "report_server_id") == 0) {
        ARGS(0);
        Rc = modbus_report_slave_id(Ctx, (int)sizeof Bytes, Bytes);
        if (Rc >= 0 && Unit != 0)
            PrintHex(Out, "identifier", Bytes, Rc);
    } else if (strcmp(Op, "raw") == 0) {
        ARGS(1);
        Bytes[0] = (uint8_t)Unit;
        const int Length = ParseHex(W.Words[2], Bytes + 1, MODBUS_MAX_PDU_LENGTH);
        if (Length < 0)
            return -1;
        Rc = modbus_send_raw_request(Ctx, Bytes, Length + 1);
        if (Rc >= 0) {
            Rc = modbus_receive_confirmation(Ctx, Bytes);
            if (Rc >= 0 && Unit != 0) {
                /* Address first, CRC last: the PDU lies between. */
                if (Rc >= 5 && (Bytes[1] & 0x80) != 0)
                    fprintf(Out, "{\"exception\":%d}\n", Bytes[2]);
                else
                    PrintHex(Out, "reply", Bytes + 1, Rc - 3);
            }
        }
    } else {
        return -1;
    }
#undef ARGS
#undef NUMBER

    if (Unit == 0) {
        if (Rc < 0 && errno == ETIMEDOUT)
            fprintf(Out, "{\"broadcast\":true}\n");
        else if (Rc < 0)
            PrintFailure(Out, errno);
        else
            fprintf(Out, "{\"error\":\"a reply to a broadcast\"}\n");
        const struct timespec Turnaround = {0, BROADCAST_TURNAROUND_NS};
        nanosleep(&Turnaround, NULL);
    } else if (Rc < 0) {
        PrintFailure(Out, errno);
        /* After a failed exchange the rest of a late reply may still come in;
         * libmodbus finds frame ends by counting bytes, so drop it first. */
        (void)modbus_flush(Ctx);
    }
    fflush(Out);
    return 0;
}

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: libmodbus_client PORT RESULTS REQUEST...\n");
        return 2;
    }
    modbus_t* Ctx = modbus_new_rtu(argv[1], 19200, 'N', 8, 1);
    if (Ctx == NULL) {
        fprintf(stderr, "libmodbus_client: %s\n", modbus_strerror(errno));
        return 1;
    }
    if (modbus_set_response_timeout(Ctx, 2, 0) != 0 || modbus_connect(Ctx) != 0) {
        fprintf(stderr, "libmodbus_client: cannot open %s: %s\n", argv[1], modbus_strerror(errno));
        modbus_free(Ctx);
        return 1;
    }
    FILE* Out = fopen(argv[2], "w");
    if (Out == NULL) {
        perror("libmodbus_client: results file");
        modbus_close(Ctx);
        modbus_free(Ctx);
        return 1;
    }
    printf("READY\n");
    fflush(stdout);

    int Status = 0;
    for (int I = 3; I < argc; ++I) {
        char Request[512];
        /* Run splits its copy in place; the original stays whole for the message. */
        if (strlen(argv[I]) >= sizeof Request || Run(Ctx, strcpy(Request, argv[I]), Out) != 0) {
            fprintf(stderr, "libmodbus_client: bad request '%s'\n", argv[I]);
            Status = 2;
            break;
        }
    }
    if (fclose(Out) != 0) {
        perror("libmodbus_client: results file");
        Status = 1;
    }
    modbus_close(Ctx);
    modbus_free(Ctx);
    return Status;
}
