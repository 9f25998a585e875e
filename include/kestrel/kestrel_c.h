/* Kestrel's plain C interface (C99), exported from the same library as the
 * C++ class (libkestrel.so, kestrel.dll) and built over it. No C++ type and
 * no exception crosses it: any C compiler, any C++ compiler (MSVC included)
 * and anything that calls C functions (LabVIEW, .NET, Python's ctypes) can
 * use it. docs/c.md has the conventions at length and a complete example.
 *
 * Conventions
 * - A client is an opaque kestrel_client*, made by kestrel_client_new or
 *   kestrel_client_new_in and released by kestrel_client_free.
 * - Each operation of the class is kestrel_<name>: the client first, then
 *   the class's arguments in the class's order (those it does not send too),
 *   then the outputs through pointers. It returns 1 on success and 0 on
 *   failure, as the class returns true and false; kestrel_last_failure then
 *   tells the kind and kestrel_error_text the words.
 * - Text in is NUL-terminated GBK (code page 936), as the server takes it. A
 *   point goes in by value and comes out through a pointer; a flag is an int
 *   (0 false, anything else true).
 * - A list out is the caller's array, its capacity and a size_t* that
 *   receives the full count, even when the array is too small: the call then
 *   fails with KESTREL_BAD_ARGUMENT and an error text that says so, having
 *   written the first `capacity` entries and nothing past them. A text out
 *   (the auto-focus result) works the same with a buffer and its size.
 * - NULL: a NULL client makes every call return 0 (or NULL, or 0 bytes) and
 *   touch nothing. Any other NULL argument where a text, an output or a list
 *   is expected fails the call with KESTREL_BAD_ARGUMENT and an error text
 *   naming the argument; nothing is sent. An array may be NULL only with a
 *   capacity (or count) of 0.
 * - Threads: a client is used by one thread at a time, or its calls are
 *   guarded by the caller. Different clients share nothing.
 * - Memory: a call that cannot get the memory it needs returns 0 (or NULL)
 *   with KESTREL_OUT_OF_MEMORY; the host goes on.
 */
#ifndef KESTREL_KESTREL_C_H
#define KESTREL_KESTREL_C_H

#include <stddef.h>

#include "kestrel/export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kestrel_client kestrel_client;
typedef struct kestrel_procedure kestrel_procedure;

typedef struct kestrel_point {
  double x;
  double y;
} kestrel_point;

/* The kind of a client's last failure (the C++ side's kestrel::Failure). */
typedef enum kestrel_failure {
  KESTREL_OK = 0,
  KESTREL_NOT_CONNECTED,    /* never connected, disconnected, closed by the server */
  KESTREL_REQUEST_TOO_LONG, /* over 10237 characters; nothing sent */
  KESTREL_SEND_FAILED,      /* the link was up but the request was not written */
  KESTREL_TIMED_OUT,        /* no reply within the wait limit */
  KESTREL_ABORTED,          /* the procedure's abort flag ended the wait */
  KESTREL_PLANT_ABORTED,    /* the machine-wide abort ended the wait */
  KESTREL_UNFRAMED,         /* a reply line that is not "<...>" */
  KESTREL_WRONG_HEAD,       /* the reply names another command */
  KESTREL_BAD_TYPE,         /* the reply's type is neither OK nor NG */
  KESTREL_SERVER_NG,        /* the server answered NG; the error text is its message */
  KESTREL_BAD_REPLY,        /* a payload that does not parse, a count that does not match */
  KESTREL_OUT_OF_MEMORY,    /* the call could not get the memory it needed */
  KESTREL_BAD_ARGUMENT      /* a NULL argument, an array or buffer too small */
} kestrel_failure;

/* Colours of console lines. */
enum { KESTREL_PLAIN = 0, KESTREL_RED = 1, KESTREL_YELLOW = 2, KESTREL_GREEN = 3 };

/* ---- Library ------------------------------------------------------------ */

/* The library's version, "1.1.0" and the like; never NULL. */
KESTREL_API const char* kestrel_version(void);
/* A short English name of `failure` ("timed out", ...); never NULL. */
KESTREL_API const char* kestrel_failure_name(kestrel_failure failure);

/* ---- Procedures and clients -------------------------------------------- */

/* A machine procedure named `name` (GBK, cut to 63 bytes; NULL gives "")
 * with both abort flags lowered. NULL when out of memory. */
KESTREL_API kestrel_procedure* kestrel_procedure_new(const char* name);
/* Releases `procedure` (NULL: nothing). Its clients must be freed first. */
KESTREL_API void kestrel_procedure_free(kestrel_procedure* procedure);
/* Raise (nonzero) or lower (0) the procedure's own abort, or the
 * machine-wide (plant) abort. Any thread, at any time: a raised flag ends the
 * wait of every client of the procedure after its current read. 0 for a NULL
 * procedure, else 1. */
KESTREL_API int kestrel_procedure_set_abort(kestrel_procedure* procedure, int raised);
KESTREL_API int kestrel_procedure_set_plant_abort(kestrel_procedure* procedure, int raised);

/* A client of no procedure: server 127.0.0.1:8000, timeout 5000 ms, not
 * connected, console title `title` (GBK, cut to 63 bytes; NULL gives
 * "Kestrel"). NULL when out of memory. */
KESTREL_API kestrel_client* kestrel_client_new(const char* title);
/* A client of `procedure` (borrowed: it must outlive the client), whose abort
 * flags end its waits; title NULL gives "<procedure name>/Kestrel". NULL for
 * a NULL procedure or when out of memory. */
KESTREL_API kestrel_client* kestrel_client_new_in(kestrel_procedure* procedure, const char* title);
/* Closes the client's link and releases it (NULL: nothing). */
KESTREL_API void kestrel_client_free(kestrel_client* client);

/* ---- Errors -------------------------------------------------------------- */

/* The kind of the last failure of `client`: KESTREL_OK after a success.
 * KESTREL_BAD_ARGUMENT for a NULL client. */
KESTREL_API kestrel_failure kestrel_last_failure(const kestrel_client* client);
/* Copies the error text (GBK) into `buffer`, cut to `size` - 1 bytes and
 * NUL-terminated, and returns its full length in bytes, as snprintf does: a
 * return >= size means it was cut. `buffer` may be NULL when `size` is 0.
 * NULL client: 0, and "" when there is room. */
KESTREL_API size_t kestrel_error_text(const kestrel_client* client, char* buffer, size_t size);
/* The same in UTF-8 (a byte that starts no GBK character becomes a
 * replacement character). */
KESTREL_API size_t kestrel_error_text_utf8(const kestrel_client* client, char* buffer,
                                           size_t size);
/* Empties the error text and sets the kind to KESTREL_OK (NULL: nothing). */
KESTREL_API void kestrel_clear_error(kestrel_client* client);

/* ---- Console --------------------------------------------------------------- */

/* Receives one console line: its colour (KESTREL_RED, ...), the printing
 * client's title, the text (GBK, NUL-terminated, no line break) and its length
 * in bytes. Called on the thread that prints, one line at a time; it must not
 * call back into the client that prints. */
typedef void (*kestrel_console_sink)(int colour, const char* title, const char* gbk_text,
                                     size_t length, void* user);
/* Sends every console line of the process to `sink` (with `user` handed
 * back); NULL restores the console printer. Replaces a queue set by
 * kestrel_queue_console. Always 1. */
KESTREL_API int kestrel_set_console_sink(kestrel_console_sink sink, void* user);
/* For hosts that cannot take callbacks (LabVIEW): keeps the latest
 * `capacity` console lines (at most 4096; older ones are dropped) for
 * kestrel_next_console_line instead of printing them; 0 drops the queue and
 * restores the console printer. Replaces a sink. 0 when out of memory. */
KESTREL_API int kestrel_queue_console(size_t capacity);
/* Takes the oldest queued line: its colour into *colour, its title and text
 * (GBK) into the buffers (cut to size - 1 bytes, NUL-terminated; a buffer may
 * be NULL with size 0), the text's full length into *length. 1 when a line
 * was taken, 0 when none is queued. `colour` and `length` may be NULL. */
KESTREL_API int kestrel_next_console_line(int* colour, char* title, size_t title_size, char* text,
                                          size_t text_size, size_t* length);

/* ---- Connection ------------------------------------------------------------ */

/* Stores `address` (NULL: KESTREL_BAD_ARGUMENT) and `port`, then connects. */
KESTREL_API int kestrel_connect(kestrel_client* client, const char* address, int port);
KESTREL_API int kestrel_disconnect(kestrel_client* client);
KESTREL_API int kestrel_reconnect(kestrel_client* client);
/* 1 while connected and the server has not closed its end. */
KESTREL_API int kestrel_connected(kestrel_client* client);

/* ---- Wait limit ---------------------------------------------------------------- */

/* 1000 ms for any `ms` below 1000, 10000 ms otherwise. */
KESTREL_API int kestrel_set_timeout(kestrel_client* client, int ms);
KESTREL_API int kestrel_get_timeout(kestrel_client* client, int* ms);

/* ---- Camera parameters ------------------------------------------------------- */

KESTREL_API int kestrel_set_gain(kestrel_client* client, const char* camera, double gain);
KESTREL_API int kestrel_set_exposure(kestrel_client* client, const char* camera, double exposure);
KESTREL_API int kestrel_set_light(kestrel_client* client, const char* camera, int intensity);
KESTREL_API int kestrel_set_light_and_exposure(kestrel_client* client, const char* text_a,
                                               const char* text_b, int number, int flag);
KESTREL_API int kestrel_get_gain(kestrel_client* client, const char* camera, double* gain);
KESTREL_API int kestrel_get_exposure(kestrel_client* client, const char* camera,
                                     double* exposure);
KESTREL_API int kestrel_get_light(kestrel_client* client, const char* camera, int* intensity);

/* ---- Acquisition and display ------------------------------------------------- */

KESTREL_API int kestrel_start_grab(kestrel_client* client, const char* camera);
KESTREL_API int kestrel_stop_grab(kestrel_client* client, const char* camera);
KESTREL_API int kestrel_clear_camera_iamge(kestrel_client* client, const char* camera);
KESTREL_API int kestrel_get_camera_scale(kestrel_client* client, const char* camera,
                                         double* scale_x, double* scale_y);
/* `colors`: `count` texts, none NULL (NULL only with count 0). */
KESTREL_API int kestrel_set_target_color(kestrel_client* client, const char* camera,
                                         const char* const* colors, size_t count);
KESTREL_API int kestrel_switch_to_camera(kestrel_client* client, const char* text_a,
                                         const char* text_b);
KESTREL_API int kestrel_set_cam_control_visiable(kestrel_client* client, const char* text_a,
                                                 const char* text_b, int visible);
KESTREL_API int kestrel_show_cut_line(kestrel_client* client, const char* camera, double width);

/* ---- Auto focus ---------------------------------------------------------------- */

/* The result text goes into `text` (size `text_size`), its full length into
 * *text_length; a text that does not fit fails the call as a list does (the
 * value and the cut text are still written). */
KESTREL_API int kestrel_auto_focus(kestrel_client* client, const char* camera, int number,
                                   double value1, double value2, double value3, double value4,
                                   double value5, int flag, double* result, char* text,
                                   size_t text_size, size_t* text_length);

/* ---- Template matching --------------------------------------------------------- */

KESTREL_API int kestrel_template_create(kestrel_client* client, const char* text_a,
                                        const char* text_b, const char* text_c, int number);
/* Centres, angles and scores of the matches: three arrays of `capacity`
 * entries; *count receives the number of matches returned. */
KESTREL_API int kestrel_mult_template_match(kestrel_client* client, const char* text_a,
                                            const char* text_b, int requested_count,
                                            const char* text_c, kestrel_point point,
                                            double value, int flag_a, int flag_b,
                                            const char* text_d, double extra1, double extra2,
                                            double extra3, int* match_count,
                                            kestrel_point* centers, double* angles,
                                            double* scores, size_t capacity, size_t* count);
/* 0 with KESTREL_OK when the server found no match. */
KESTREL_API int kestrel_template_match(kestrel_client* client, const char* text_a,
                                       const char* text_b, const char* text_c, kestrel_point point,
                                       double value, int flag_a, int flag_b, const char* text_d,
                                       kestrel_point* center, double* angle, double* score);
KESTREL_API int kestrel_template_match_scell(kestrel_client* client, const char* text_a,
                                             const char* text_b, const char* text_c,
                                             kestrel_point point, double value, int flag_a,
                                             int flag_b, const char* text_d,
                                             kestrel_point* center, double* angle, double* score);

/* ---- Wafer inspection ------------------------------------------------------------ */

KESTREL_API int kestrel_wafer_edge(kestrel_client* client, const char* text_a, const char* text_b,
                                   kestrel_point point, int flag, int ignored_a, int ignored_b,
                                   kestrel_point* points, size_t capacity, size_t* count);
/* The eight measured values come out through the eight pointers. */
KESTREL_API int kestrel_kerf_check(
    kestrel_client* client, const char* text_a, const char* text_b, const char* text_c,
    double value1, double value2, int number1, double value3, double value4, double value5,
    int number2, double value6, double value7, double value8, double value9, double value10,
    double value11, double value12, double value13, double value14, double value15,
    double value16, double value17, double value18, int flag, const char* text_d,
    double* center, double* kerf_width_without_chipp, double* kerf_width_with_chipp,
    double* center_chipp_distance, double* chipp_size_width, double* chipp_size_height,
    double* kerf_measure7, double* kerf_width_with_chipp2);
/* Does nothing and returns 1, as the class does (the arguments are still
 * checked for NULL). */
KESTREL_API int kestrel_lg_kerf_check(
    kestrel_client* client, const char* text_a, const char* text_b, const char* text_c,
    double value1, double value2, int number1, double value3, double value4, double value5,
    int number2, double value6, double value7, double value8, double value9, double value10,
    double value11, double value12, double value13, double value14, double value15,
    double value16, double value17, double value18, int flag, const char* text_d,
    double* center, double* kerf_width_without_chipp, double* kerf_width_with_chipp,
    double* center_chipp_distance, double* chipp_size_width, double* chipp_size_height,
    double* kerf_measure7, double* kerf_width_with_chipp2);
/* `points`: `count` points (NULL only with count 0). */
KESTREL_API int kestrel_fix_circle(kestrel_client* client, const kestrel_point* points,
                                   size_t count, kestrel_point* center, double* radius);

/* ---- Point conversion -------------------------------------------------------------- */

KESTREL_API int kestrel_get_real(kestrel_client* client, const char* camera, kestrel_point point,
                                 kestrel_point* real);
KESTREL_API int kestrel_get_ruler(kestrel_client* client, const char* camera,
                                  kestrel_point point, kestrel_point* ruler);
KESTREL_API int kestrel_get_real_by_pixel_point(kestrel_client* client, const char* camera,
                                                kestrel_point first_point,
                                                kestrel_point second_point, kestrel_point* real);
KESTREL_API int kestrel_get_target_cam_real(kestrel_client* client, const char* camera_a,
                                            const char* camera_b, kestrel_point point,
                                            kestrel_point* res);
KESTREL_API int kestrel_mw_cal_another_point_real(kestrel_client* client, const char* camera,
                                                  kestrel_point point, double first_value,
                                                  double second_value, kestrel_point* target);

/* ---- Rotation and line geometry ------------------------------------------------------ */

KESTREL_API int kestrel_get_rotate_center(kestrel_client* client, const char* camera,
                                          double* center_x, double* center_y);
KESTREL_API int kestrel_get_line_angle(kestrel_client* client, kestrel_point first_point,
                                       kestrel_point second_point, double* angle);
KESTREL_API int kestrel_get_point_after_rotate_real(kestrel_client* client,
                                                    kestrel_point first_point,
                                                    kestrel_point second_point,
                                                    double rotate_angle,
                                                    kestrel_point* point_after_rotate);

#ifdef __cplusplus
}
#endif

#endif /* KESTREL_KESTREL_C_H */
