/* A session through the C interface alone, against a simulator started as
 *   kestrel-sim --port 0 --autofocus-ms 0 --fault 'GetGain:ng:camera busy'
 *               --fault 'StopGrab:silent'
 * (tests/c/run.sh). One operation of each output shape: a value, a point, a
 * list, a text; then a NULL argument, the error text's length and cut, its
 * UTF-8 form, the failure kinds, the console sink, the console queue and an
 * abort. Compiled as C99; prints "N passed, N failed" last.
 *   c_api_test PORT */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kestrel/kestrel_c.h"

static int passed = 0;
static int failed = 0;

static void check(int ok, const char* what, int line) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    printf("FAILED (line %d): %s\n", line, what);
  }
}
#define CHECK(condition) check((condition) ? 1 : 0, #condition, __LINE__)

static int near(double a, double b) { return fabs(a - b) < 1e-9; }

/* What the console sink saw. */
static struct {
  int lines;
  int green;
  int length_matches;
  char last_title[64];
} seen;

static void sink(int colour, const char* title, const char* text, size_t length, void* user) {
  ++seen.lines;
  if (colour == KESTREL_GREEN) ++seen.green;
  if (strlen(text) == length && user == (void*)&seen) ++seen.length_matches;
  snprintf(seen.last_title, sizeof seen.last_title, "%s", title);
}

static const double kGuard = -12345.0;

int main(int argc, char** argv) {
  kestrel_client* client;
  char text[256];
  double value = 0;
  size_t count = 0;
  int i;

  if (argc != 2) {
    fprintf(stderr, "usage: c_api_test PORT\n");
    return 2;
  }
  CHECK(kestrel_version() != NULL && kestrel_version()[0] != '\0');

  /* A NULL client: every call fails and touches nothing. */
  CHECK(kestrel_get_gain(NULL, "Cam1", &value) == 0);
  CHECK(kestrel_last_failure(NULL) == KESTREL_BAD_ARGUMENT);
  strcpy(text, "x");
  CHECK(kestrel_error_text(NULL, text, sizeof text) == 0 && text[0] == '\0');
  kestrel_client_free(NULL);

  /* Connect, with the console going to the sink. */
  kestrel_set_console_sink(sink, &seen);
  client = kestrel_client_new("c-test");
  CHECK(client != NULL);
  CHECK(kestrel_connect(client, "127.0.0.1", atoi(argv[1])) == 1);
  CHECK(kestrel_last_failure(client) == KESTREL_OK);
  CHECK(seen.green == 1 && strcmp(seen.last_title, "c-test") == 0);
  CHECK(seen.lines > 0 && seen.length_matches == seen.lines);

  /* A value. */
  CHECK(kestrel_set_exposure(client, "Cam1", 2.5) == 1);
  CHECK(kestrel_get_exposure(client, "Cam1", &value) == 1 && near(value, 2.5));
  /* A flag: run.sh finds this request, "true" and all, in the simulator's log. */
  CHECK(kestrel_set_cam_control_visiable(client, "W1", "C1", 1) == 1);

  /* A point: pixel (400, 800) at the default 0.0025 mm per pixel. */
  {
    kestrel_point pixel = {400.0, 800.0};
    kestrel_point real = {kGuard, kGuard};
    CHECK(kestrel_get_real(client, "Cam1", pixel, &real) == 1);
    CHECK(near(real.x, 1.0) && near(real.y, 2.0));
  }

  /* A list: the 36 edge points of the default wafer, radius 100 mm; then an
   * array of 4 with guards behind it. */
  {
    kestrel_point all[64];
    kestrel_point few[4 + 2];
    kestrel_point centre = {0.0, 0.0};
    int on_edge = 1;
    CHECK(kestrel_wafer_edge(client, "A", "B", centre, 1, 0, 0, all, 64, &count) == 1);
    CHECK(count == 36);
    for (i = 0; i < (int)count && i < 64; ++i) {
      if (fabs(hypot(all[i].x, all[i].y) - 100.0) > 0.01) on_edge = 0;
    }
    CHECK(on_edge);
    for (i = 0; i < 6; ++i) few[i].x = few[i].y = kGuard;
    count = 0;
    CHECK(kestrel_wafer_edge(client, "A", "B", centre, 1, 0, 0, few, 4, &count) == 0);
    CHECK(count == 36);
    CHECK(kestrel_last_failure(client) == KESTREL_BAD_ARGUMENT);
    CHECK(near(few[3].x, all[3].x) && near(few[3].y, all[3].y));
    CHECK(few[4].x == kGuard && few[4].y == kGuard && few[5].x == kGuard);
    kestrel_error_text(client, text, sizeof text);
    CHECK(strstr(text, "points too small") != NULL);
  }

  /* A text: the auto-focus result, whole and into a buffer too small. */
  {
    char small[2 + 2] = {'#', '#', '#', '#'};
    size_t length = 0;
    double result = kGuard;
    CHECK(kestrel_auto_focus(client, "Cam1", 1, 0, 0, 0, 0, 0, 0, &result, text, sizeof text,
                             &length) == 1);
    CHECK(length > 0 && length == strlen(text) && result != kGuard);
    CHECK(kestrel_auto_focus(client, "Cam1", 1, 0, 0, 0, 0, 0, 0, &result, small, 2, &count) == 0);
    CHECK(count == length && kestrel_last_failure(client) == KESTREL_BAD_ARGUMENT);
    CHECK(small[0] == text[0] && small[1] == '\0' && small[2] == '#' && small[3] == '#');
  }

  /* A NULL argument: a clear failure naming it; the client goes on. (Every
   * NULL argument of every command: null_arguments_test.cpp.) */
  CHECK(kestrel_get_exposure(client, NULL, &value) == 0);
  CHECK(kestrel_last_failure(client) == KESTREL_BAD_ARGUMENT);
  kestrel_error_text(client, text, sizeof text);
  CHECK(strstr(text, "camera is NULL") != NULL);
  CHECK(kestrel_get_exposure(client, "Cam1", &value) == 1);
  CHECK(kestrel_last_failure(client) == KESTREL_OK);

  /* The server's NG: its message is the error text, measured as snprintf does. */
  CHECK(kestrel_get_gain(client, "Cam1", &value) == 0);
  CHECK(kestrel_last_failure(client) == KESTREL_SERVER_NG);
  CHECK(kestrel_error_text(client, text, sizeof text) == 11 && strcmp(text, "camera busy") == 0);
  {
    char cut[5 + 1] = {'#', '#', '#', '#', '#', '#'};
    CHECK(kestrel_error_text(client, cut, 5) == 11 && strcmp(cut, "came") == 0 && cut[5] == '#');
    CHECK(kestrel_error_text(client, NULL, 0) == 11);
  }
  kestrel_clear_error(client);
  CHECK(kestrel_error_text(client, text, sizeof text) == 0 &&
        kestrel_last_failure(client) == KESTREL_OK);

  /* UTF-8: a client that never connected fails with the GBK text "通讯失败!". */
  {
    kestrel_client* idle = kestrel_client_new(NULL);
    const char* gbk = "\xCD\xA8\xD1\xB6\xCA\xA7\xB0\xDC!";
    const char* utf8 = "\xE9\x80\x9A\xE8\xAE\xAF\xE5\xA4\xB1\xE8\xB4\xA5!";
    CHECK(kestrel_get_exposure(idle, "Cam1", &value) == 0);
    CHECK(kestrel_last_failure(idle) == KESTREL_NOT_CONNECTED);
    CHECK(kestrel_error_text(idle, text, sizeof text) == strlen(gbk) && strcmp(text, gbk) == 0);
    CHECK(kestrel_error_text_utf8(idle, text, sizeof text) == strlen(utf8) &&
          strcmp(text, utf8) == 0);
    CHECK(strcmp(seen.last_title, "Kestrel") == 0);
    kestrel_client_free(idle);
  }

  /* The console queue instead of the sink: the lines of one request. */
  {
    int colour = -1;
    size_t length = 0;
    char title[64];
    int lines = 0, sent = 0;
    const int before = seen.lines;
    CHECK(kestrel_queue_console(16) == 1);
    CHECK(kestrel_start_grab(client, "Cam1") == 1);
    while (kestrel_next_console_line(&colour, title, sizeof title, text, sizeof text, &length)) {
      ++lines;
      if (strstr(text, "StartGrab") != NULL && length == strlen(text)) ++sent;
    }
    CHECK(lines == 2 && sent == 2 && seen.lines == before);
    CHECK(kestrel_next_console_line(NULL, NULL, 0, NULL, 0, NULL) == 0);
    kestrel_set_console_sink(sink, &seen);
  }

  /* An abort: the procedure's flag ends the wait for a silent server. */
  {
    kestrel_procedure* procedure = kestrel_procedure_new("Dicing");
    kestrel_client* owned = kestrel_client_new_in(procedure, NULL);
    CHECK(kestrel_client_new_in(NULL, NULL) == NULL);
    CHECK(kestrel_connect(owned, "127.0.0.1", atoi(argv[1])) == 1);
    CHECK(strcmp(seen.last_title, "Dicing/Kestrel") == 0);
    CHECK(kestrel_set_timeout(owned, 999) == 1);
    kestrel_procedure_set_abort(procedure, 1);
    CHECK(kestrel_stop_grab(owned, "Cam1") == 0);
    CHECK(kestrel_last_failure(owned) == KESTREL_ABORTED);
    kestrel_client_free(owned);
    kestrel_procedure_free(procedure);
  }

  CHECK(kestrel_disconnect(client) == 1);
  CHECK(kestrel_get_exposure(client, "Cam1", &value) == 0 &&
        kestrel_last_failure(client) == KESTREL_NOT_CONNECTED);
  kestrel_client_free(client);
  kestrel_set_console_sink(NULL, NULL);

  printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
