/*
 * The nginx module's one way into the filter: plain C over the C++ that
 * loads libnimbuswatch.so and drives it through server/. nginx's side knows
 * nothing of C++; this side knows nothing of nginx. No exception crosses:
 * every failure comes back as a return value, with a line to log.
 */
#ifndef NIMBUSWATCH_FILTER_BRIDGE_H
#define NIMBUSWATCH_FILTER_BRIDGE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    const char *data;
    size_t      len;
} nw_text;

typedef struct {
    nw_text  name;
    nw_text  value;
} nw_field;

/*
 * The process. The check and the start write a one-line reason into
 * `problem` (NUL-terminated, cut to `room`) and answer 0 when they fail.
 */

/* Checks the registry export `file` as nimbuswatch-host --check does. */
int nw_check_config(const char *file, char *problem, size_t room);

/*
 * Names `file` as the filter's settings, loads the filter library found
 * beside this module (or where the package installs it) and starts it: the
 * filter reads its settings and empties its log. Once per process: later
 * calls change nothing and answer 1.
 */
int nw_start_filter(const char *file, char *problem, size_t room);

/* The settings file the running filter started with; empty before. */
nw_text nw_started_config(void);

/* ImagesURL and ImagesDir as the running filter read them. */
nw_text nw_images_url(void);
nw_text nw_images_dir(void);

/*
 * One response. `target` is the request target as the client sent it; its
 * decoded path and query are the filter's URL and QUERY_STRING (`path` and
 * `query` when the target cannot be read). NULL when there is no filter or
 * no memory.
 */
typedef struct nw_response nw_response;

nw_response *nw_response_new(nw_text target, nw_text path, nw_text query, nw_text method,
    nw_text protocol);
/* Ends the request for the filter if still open, and frees it. */
void nw_response_free(nw_response *response);

/*
 * URL_MAP: the filter sees the URL and the file it maps to, and draws a
 * missing picture. The path it leaves stays valid until the next call.
 */
nw_text nw_response_map_url(nw_response *response, nw_text path);

/* SEND_RESPONSE and the head. */
enum {
    NW_UNTOUCHED = 0,  /* the filter leaves the response alone */
    NW_FILTERED = 1,   /* apply nw_field_fate and nw_added_field; feed the body */
    NW_REFUSED = -1    /* the response cannot be sent (nw_response_problem) */
};
int nw_response_head(nw_response *response, unsigned status, nw_text reason,
    const nw_field *fields, size_t count);

enum { NW_KEPT = 0, NW_CHANGED = 1, NW_REMOVED = 2 };
/* What became of the given field `index`; `value` is the new value. */
int nw_field_fate(const nw_response *response, size_t index, nw_text *value);
size_t nw_added_count(const nw_response *response);
nw_field nw_added_field(const nw_response *response, size_t index);

/*
 * The body. nw_response_body hands the filter one block (`writable`: it may
 * change the block where it lies); call it only when nothing is pending.
 * Both answer 0 when the response must be cut off (nw_response_problem).
 */
int nw_response_body(nw_response *response, char *data, size_t size, int writable);
int nw_response_end(nw_response *response);

/* Body bytes the filter emitted and not yet taken, out of their framing. */
int nw_response_pending(nw_response *response);
/* Copies up to `room` of them to `out`; how many. -1 when the filter's
 * output cannot be read. */
long nw_response_take(nw_response *response, char *out, size_t room);

nw_text nw_response_problem(const nw_response *response);

#ifdef __cplusplus
}
#endif

#endif
