// tarn-natcheck: runs tarn's own NAT classification and probe-port
// discovery once against a STUN server, for operators and the lab tests.
//
// The probe run is a detached thread (as in the daemon); the main thread
// waits for the semaphore the wrapper posts once the run has returned.
#include <getopt.h>
#include <pthread.h>
#include <semaphore.h>

#include <cstdio>
#include <cstring>

#include "bus/ubus_api.h"
#include "stun/stun.h"

namespace {

const char kHelp[] =
    "usage: tarn-natcheck [-v] [-p] [-P] SERVER[:PORT]\n"
    "\n"
    "Classifies the NAT in front of this host with the STUN server SERVER\n"
    "(a name or address; port 3478 unless given) exactly as tarn does, and\n"
    "prints the verdict and the classification code. Like tarn, it uploads the\n"
    "NAT discovery report to cloud_log when a bus is running.\n"
    "\n"
    "Options:\n"
    "  -v   print the STUN client's diagnostics\n"
    "  -p   then run one probe-port discovery (the server must also answer on\n"
    "       ports 3479, 13478 and 13479 of both its addresses)\n"
    "  -P   the probe-port discovery only\n"
    "  -h   this help\n"
    "\n"
    "Output lines after the STUN client's own:\n"
    "  nat code: HEX (DECIMAL)\n"
    "  probe ports: LOCAL P1 P2 P3 P4 P5 P6      (0: no answer)\n"
    "  probe offsets: T1 T2 T3 T4 T5 T6          (microseconds)\n"
    "\n"
    "Exit status: 0 when every run asked for gave a result, 1 when the\n"
    "classification failed (code -1) or the probe learnt no port, 2 for a bad\n"
    "command line.\n";

sem_t probe_done;

void *probeThread(void *arg) {
    STUN_get_probe_port(arg);
    sem_post(&probe_done);
    return nullptr;
}

// 0 when at least one public port was learnt.
int runProbe(char *server) {
    sem_init(&probe_done, 0, 0);
    pthread_t tid;
    if (pthread_create(&tid, nullptr, probeThread, server) != 0) {
        fprintf(stderr, "tarn-natcheck: cannot start the probe thread\n");
        return 1;
    }
    while (sem_wait(&probe_done) != 0) {
    }
    sem_destroy(&probe_done);
    int rec[STUN_PROBE_FIELDS];
    STUN_copy_probe_data(rec);
    printf("probe ports:");
    for (int i = 0; i <= STUN_PROBE_PORTS; i++) printf(" %d", rec[i]);
    printf("\nprobe offsets:");
    int learnt = 0;
    for (int i = 1; i <= STUN_PROBE_PORTS; i++) {
        printf(" %d", rec[STUN_PROBE_PORTS + i]);
        learnt += rec[i] != 0;
    }
    printf("\n");
    fflush(stdout);
    return learnt > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    int verbose = 0;
    bool classify = true;
    bool probe = false;
    int opt;
    while ((opt = getopt(argc, argv, "vpPh")) != -1) {
        switch (opt) {
            case 'v':
                verbose = 1;
                break;
            case 'p':
                probe = true;
                break;
            case 'P':
                probe = true;
                classify = false;
                break;
            case 'h':
                fputs(kHelp, stdout);
                return 0;
            default:
                fputs(kHelp, stderr);
                return 2;
        }
    }
    if (optind != argc - 1 || strlen(argv[optind]) > 128) {
        fputs(kHelp, stderr);
        return 2;
    }
    char server[129];
    snprintf(server, sizeof(server), "%s", argv[optind]);

    int status = 0;
    if (classify) {
        const int code = STUN_get_nat_type(server, verbose);
        printf("nat code: %#x (%d)\n", code, code);
        fflush(stdout);
        if (code == NAT_CODE_FAILURE) status = 1;
    }
    if (probe && runProbe(server) != 0) status = 1;
    ubus_deinit();  // the discovery report, if one is queued, goes before we do
    return status;
}
