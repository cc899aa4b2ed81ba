/* A host program written in C11 against <ZEVSiteSDK/zevsite.h> alone, compiled with
 * -std=c11 -Wall -Werror -pedantic. The tests build it with the SDK (and ctest runs it against
 * a loopback collector); scripts/package.sh builds it against the installed package with
 * CMake and with pkg-config.
 *
 *   zevsite_c_host COLLECT_URL HOME_DIRECTORY
 *
 * It opens with a deep link, tracks a page view, a classic event, a custom action and a
 * pulse, waits until they are sent, and exits 0 when the SDK saw each of them (through its
 * event observer) and reported a send attempt. What arrived is checked by the caller at the
 * collector. */
#define _POSIX_C_SOURCE 200809L

#include <ZEVSiteSDK/zevsite.h>

#include <stdatomic.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

/* Counts of the events the SDK accepted, by kind; written on SDK threads and host threads. */
struct observed {
  atomic_int starts;
  atomic_int page_views;
  atomic_int others;
};

static void on_event(const char* name, size_t name_length, const char* upload, size_t upload_length,
                     void* context) {
  struct observed* seen = context;
  (void)upload;
  (void)upload_length;
  if (name_length == 4 && strcmp(name, "init") == 0) {
    atomic_fetch_add(&seen->starts, 1);
  } else if (strcmp(name, "pageview") == 0) {
    atomic_fetch_add(&seen->page_views, 1);
  } else {
    atomic_fetch_add(&seen->others, 1);
  }
}

static void on_log_line(const char* line, size_t length, void* context) {
  (void)context;
  fprintf(stderr, "zevsite: %.*s\n", (int)length, line);
}

static int wifi(void* context) {
  (void)context;
  return ZEVSITE_NETWORK_WIFI;
}

/* Waits up to `seconds` for `*counter` to reach `count`. */
static int wait_for(atomic_int* counter, int count, int seconds) {
  const struct timespec step = {0, 20 * 1000 * 1000};
  int waited;
  for (waited = 0; waited < seconds * 50; ++waited) {
    if (atomic_load(counter) >= count) return 1;
    nanosleep(&step, NULL);
  }
  return atomic_load(counter) >= count;
}

int main(int argc, char** argv) {
  struct observed seen;
  zevsite_manager* manager;
  zevsite_dict* dims;
  zevsite_dict* action;
  char cid[64];
  int64_t cid_length;
  int sent;

  if (argc != 3) {
    fprintf(stderr, "usage: %s COLLECT_URL HOME_DIRECTORY\n", argv[0]);
    return 2;
  }
  atomic_init(&seen.starts, 0);
  atomic_init(&seen.page_views, 0);
  atomic_init(&seen.others, 0);

  zevsite_set_log_sink(on_log_line, NULL);
  zevsite_set_enable_log(1);
  zevsite_set_home_directory(argv[2]);
  zevsite_set_collect_url(argv[1]);
  zevsite_set_network_status_provider(wifi, NULL);
  zevsite_set_event_observer(on_event, &seen);

  /* The campaign goes out with the start-up event the manager sends about a second later. */
  zevsite_handle_open_url("app://open?qx_ca=c-spring&qx_sp=c-banner");
  manager = zevsite_shared_instance("123", "c-host");
  if (!manager) return 1;

  dims = zevsite_dict_new();
  zevsite_dict_set_string(dims, "customDimension2", "blue");
  zevsite_dict_set_int(dims, "customMetrics1", 3);
  zevsite_track_page_view(manager, "C Home", dims);
  zevsite_track_event(manager, "c-shop", "buy", NULL, 7, dims);
  action = zevsite_dict_new();
  zevsite_dict_set_string(action, "customActionId", "c-action");
  zevsite_dict_set_string(action, "customActionLabel1", "x");
  zevsite_dict_set_double(action, "customActionValue2", 1.5);
  zevsite_track_custom_action(manager, action, NULL);
  zevsite_track_pulse(manager);
  zevsite_dict_free(action);
  zevsite_dict_free(dims);

  if (!wait_for(&seen.starts, 1, 30)) {
    fprintf(stderr, "no start-up event\n");
    return 1;
  }
  sent = zevsite_flush(30000);
  cid_length = zevsite_get_cid(cid, sizeof cid);
  printf("sdk %s, client id %s, %d page view(s), %d other event(s), flush %s\n",
         zevsite_sdk_version(), cid, atomic_load(&seen.page_views), atomic_load(&seen.others),
         sent ? "sent" : "TIMED OUT");

  zevsite_manager_release(manager);
  zevsite_set_event_observer(NULL, NULL);
  zevsite_set_network_status_provider(NULL, NULL);
  zevsite_shutdown(5000);
  zevsite_set_log_sink(NULL, NULL);
  return sent && cid_length > 0 && atomic_load(&seen.page_views) == 1 &&
                 atomic_load(&seen.others) == 3
             ? 0
             : 1;
}
