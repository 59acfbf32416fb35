/* The benchmark peer: a minimal SSDP responder on GSSDP that announces the Redfish service type
 * with a UUID and a location on interface eth1, and answers searches on GSSDP's own terms (its
 * response format, its MX handling). Built by bench/run.sh only; no part of the daemon.
 *
 * usage: gssdp-peer UUID LOCATION
 * Prints "ready" once the resource is available; SIGTERM or SIGINT ends it. */

#include <glib-unix.h>
#include <libgssdp/gssdp.h>
#include <stdio.h>

static const char *const REDFISH_TARGET = "urn:dmtf-org:service:redfish-rest:1";

static gboolean quit(gpointer loop)
{
    g_main_loop_quit(loop);
    return G_SOURCE_REMOVE;
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: gssdp-peer UUID LOCATION\n");
        return 2;
    }
    GError *error = NULL;
    GSSDPClient *client =
        gssdp_client_new_full("eth1", NULL, 0, GSSDP_UDA_VERSION_UNSPECIFIED, &error);
    if (client == NULL) {
        fprintf(stderr, "gssdp-peer: %s\n", error->message);
        g_error_free(error);
        return 1;
    }
    GSSDPResourceGroup *group = gssdp_resource_group_new(client);
    char *usn = g_strdup_printf("uuid:%s::%s", argv[1], REDFISH_TARGET);
    gssdp_resource_group_add_resource_simple(group, REDFISH_TARGET, usn, argv[2]);
    gssdp_resource_group_set_available(group, TRUE);

    GMainLoop *loop = g_main_loop_new(NULL, FALSE);
    g_unix_signal_add(SIGTERM, quit, loop);
    g_unix_signal_add(SIGINT, quit, loop);
    printf("ready\n");
    fflush(stdout);
    g_main_loop_run(loop);

    g_main_loop_unref(loop);
    g_free(usn);
    g_object_unref(group);
    g_object_unref(client);
    return 0;
}
