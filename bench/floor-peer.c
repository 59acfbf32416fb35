/* The floor peer: about the least a correct SSDP responder can do per search, to measure the
 * daemon's cost against. One thread, one socket bound to 239.255.255.250:1900 and joined on the
 * given interface, poll() timing the random delays below MX (UPnP Device Architecture 1.1,
 * section 1.3.3), one fixed response built at start, no logging. It answers the same targets
 * and sends the same bytes as the daemon. Built by bench/run.sh only; no part of the daemon.
 *
 * usage: floor-peer INTERFACE UUID
 * Prints "ready" once joined; SIGTERM or SIGINT ends it. */

#define _GNU_SOURCE
#include <arpa/inet.h>
#include <net/if.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define REDFISH_TARGET "urn:dmtf-org:service:redfish-rest:1"
#define MAX_PENDING 256 /* the daemon's bound */

struct pending {
    struct sockaddr_in to;
    long long due_us;
};

static long long now_us(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000LL + ts.tv_nsec / 1000;
}

/* The value of header `name` in the request, or NULL. */
static const char *header(const char *request, const char *name)
{
    size_t len = strlen(name);
    for (const char *line = strchr(request, '\n'); line; line = strchr(line, '\n')) {
        ++line;
        if (strncasecmp(line, name, len) == 0 && line[len] == ':') {
            const char *value = line + len + 1;
            return value + strspn(value, " \t");
        }
    }
    return NULL;
}

static int starts(const char *text, const char *prefix)
{
    return text && strncmp(text, prefix, strlen(prefix)) == 0;
}

/* The MX of a valid search for a target we serve (1 to 5 s), or 0 when it is not one. */
static int judge(const char *request)
{
    const char *st = header(request, "ST");
    const char *mx = header(request, "MX");
    if (!starts(request, "M-SEARCH * HTTP/1.1\r\n") ||
        !starts(header(request, "HOST"), "239.255.255.250:1900") ||
        !starts(header(request, "MAN"), "\"ssdp:discover\"") || !mx ||
        !(starts(st, "ssdp:all") || starts(st, "upnp:rootdevice") || starts(st, REDFISH_TARGET)))
        return 0;
    long value = strtol(mx, NULL, 10);
    return value < 1 ? 1 : value > 5 ? 5 : (int)value;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: floor-peer INTERFACE UUID\n");
        return 2;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr = {0};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", argv[1]);
    struct sockaddr_in group = {.sin_family = AF_INET, .sin_port = htons(1900)};
    inet_pton(AF_INET, "239.255.255.250", &group.sin_addr);
    if (fd < 0 || ioctl(fd, SIOCGIFADDR, &ifr) < 0 ||
        bind(fd, (struct sockaddr *)&group, sizeof group) < 0) {
        perror("floor-peer");
        return 1;
    }
    struct in_addr local = ((struct sockaddr_in *)&ifr.ifr_addr)->sin_addr;
    struct ip_mreq mreq = {.imr_multiaddr = group.sin_addr, .imr_interface = local};
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0) {
        perror("floor-peer: IP_ADD_MEMBERSHIP");
        return 1;
    }

    char response[512];
    int response_len = snprintf(response, sizeof response,
                                "HTTP/1.1 200 OK\r\nCACHE-CONTROL:1800\r\nST:" REDFISH_TARGET
                                "\r\nUSN:uuid:%s::dmtf-org::" REDFISH_TARGET
                                ":2\r\nAL:https://%s/redfish/v1\r\nEXT:\r\n\r\n",
                                argv[2], inet_ntoa(local));
    unsigned seed;
    if (response_len <= 0 || response_len >= (int)sizeof response ||
        getrandom(&seed, sizeof seed, 0) != sizeof seed) {
        fprintf(stderr, "floor-peer: bad arguments\n");
        return 1;
    }
    srandom(seed);
    printf("ready\n");
    fflush(stdout);

    static struct pending pending[MAX_PENDING];
    int count = 0;
    char request[1024];
    struct pollfd pfd = {.fd = fd, .events = POLLIN};
    for (;;) {
        int timeout = -1, next = -1;
        for (int i = 0; i < count; ++i)
            if (next < 0 || pending[i].due_us < pending[next].due_us)
                next = i;
        if (next >= 0) {
            long long left = pending[next].due_us - now_us();
            timeout = left <= 0 ? 0 : (int)((left + 999) / 1000);
        }
        if (timeout != 0 && poll(&pfd, 1, timeout) > 0) {
            struct sockaddr_in from;
            socklen_t from_len = sizeof from;
            ssize_t n =
                recvfrom(fd, request, sizeof request - 1, 0, (struct sockaddr *)&from, &from_len);
            if (n <= 0)
                continue;
            request[n] = '\0';
            int mx = judge(request);
            if (mx > 0 && count < MAX_PENDING)
                pending[count++] = (struct pending){from, now_us() + random() % (mx * 1000000L)};
            continue;
        }
        if (next >= 0 && pending[next].due_us <= now_us()) {
            sendto(fd, response, response_len, 0, (struct sockaddr *)&pending[next].to,
                   sizeof pending[next].to);
            pending[next] = pending[--count];
        }
    }
}
