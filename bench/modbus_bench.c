/* Round trips of one Modbus request (read 5 holding registers of a unit), timed one by one.
 *   modbus_bench rtu DEVICE BAUD UNIT COUNT     libmodbus RTU client on a serial device
 *   modbus_bench tcp HOST PORT UNIT COUNT       libmodbus TCP client
 *   modbus_bench rawtcp HOST PORT UNIT COUNT    RTU frames over a plain TCP socket (raw servers)
 * Prints "p50_us p99_us tps errors".
 * With BENCH_SYNC set, the client stops itself (SIGSTOP) once connected and warmed up and again
 * after the timed requests, so that a script can read the other processes' counters around
 * exactly the timed part. With BENCH_SAMPLES=FILE every round trip (µs) is written to FILE. */
#include <arpa/inet.h>
#include <errno.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

enum { kRegisters = 5, kWarmUp = 50 };

static double now_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

static int cmp(const void *a, const void *b)
{
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

static uint16_t crc16(const uint8_t *p, int n)
{
    uint16_t crc = 0xFFFF;
    for (int i = 0; i < n; i++) {
        crc ^= p[i];
        for (int b = 0; b < 8; b++) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

/* One RTU request over a TCP socket; 0 when a whole reply with a good CRC came back. */
static int raw_round_trip(int fd, int unit)
{
    uint8_t req[8] = {(uint8_t)unit, 3, 0, 0, 0, kRegisters, 0, 0};
    uint16_t crc = crc16(req, 6);
    req[6] = crc & 0xFF;
    req[7] = crc >> 8;
    if (send(fd, req, 8, 0) != 8) return -1;
    uint8_t rep[64];
    int got = 0, want = 5 + 2 * kRegisters;
    while (got < want) {
        ssize_t n = recv(fd, rep + got, sizeof(rep) - got, 0);
        if (n <= 0) return -1;
        got += (int)n;
    }
    crc = crc16(rep, want - 2);
    return (rep[want - 2] == (crc & 0xFF) && rep[want - 1] == (crc >> 8)) ? 0 : -1;
}

static int round_trip(modbus_t *ctx, int fd, int unit)
{
    uint16_t regs[kRegisters];
    if (ctx) return modbus_read_registers(ctx, 0, kRegisters, regs) == kRegisters ? 0 : -1;
    return raw_round_trip(fd, unit);
}

int main(int argc, char **argv)
{
    if (argc != 6) {
        fprintf(stderr, "usage: modbus_bench rtu|tcp|rawtcp DEVICE|HOST BAUD|PORT UNIT COUNT\n");
        return 2;
    }
    const char *mode = argv[1];
    int unit = atoi(argv[4]), count = atoi(argv[5]);
    int sync = getenv("BENCH_SYNC") != NULL;
    modbus_t *ctx = NULL;
    int fd = -1;
    if (strcmp(mode, "rtu") == 0) {
        ctx = modbus_new_rtu(argv[2], atoi(argv[3]), 'N', 8, 1);
    } else if (strcmp(mode, "tcp") == 0) {
        ctx = modbus_new_tcp(argv[2], atoi(argv[3]));
    } else {
        struct sockaddr_in a = {0};
        a.sin_family = AF_INET;
        a.sin_port = htons(atoi(argv[3]));
        inet_pton(AF_INET, argv[2], &a.sin_addr);
        fd = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        if (connect(fd, (struct sockaddr *)&a, sizeof(a)) != 0) {
            perror("connect");
            return 1;
        }
    }
    if (ctx) {
        modbus_set_slave(ctx, unit);
        modbus_set_response_timeout(ctx, 2, 0);
        if (modbus_connect(ctx) != 0) {
            fprintf(stderr, "connect: %s\n", modbus_strerror(errno));
            return 1;
        }
    }
    double *t = calloc(count, sizeof(double));
    int errors = 0, ok = 0;
    for (int i = 0; i < kWarmUp; i++) round_trip(ctx, fd, unit);
    if (sync) raise(SIGSTOP);
    double start = now_us();
    for (int i = 0; i < count; i++) {
        double t0 = now_us();
        int rc = round_trip(ctx, fd, unit);
        double t1 = now_us();
        if (rc != 0) {
            errors++;
            continue;
        }
        t[ok++] = t1 - t0;
    }
    double total = now_us() - start;
    if (sync) raise(SIGSTOP);
    const char *samples = getenv("BENCH_SAMPLES");
    if (samples) {
        FILE *f = fopen(samples, "w");
        if (f) {
            for (int i = 0; i < ok; i++) fprintf(f, "%.1f\n", t[i]);
            fclose(f);
        }
    }
    qsort(t, ok, sizeof(double), cmp);
    printf("%.0f %.0f %.1f %d\n", ok ? t[ok / 2] : 0.0, ok ? t[(int)(ok * 0.99)] : 0.0, ok / (total / 1e6), errors);
    if (ctx) {
        modbus_close(ctx);
        modbus_free(ctx);
    }
    if (fd >= 0) close(fd);
    free(t);
    return 0;
}
