/*
 * ngx_http_nimbuswatch_module: the filter inside nginx, loaded the way the
 * Windows web server loads the DLL. nginx's master process starts the
 * filter library once while it reads its configuration; the workers it
 * forks inherit it. Each response of a location with "nimbuswatch on" is
 * handed to the filter as that server hands it: the head (the fields, then
 * the head as raw data), then the body in blocks, then the end of the
 * request. A response the filter leaves alone goes on untouched, file
 * buffers and sendfile included; for a page it rewrites, the head it
 * emitted is applied to nginx's fields and its body goes on in buffers of
 * this module's own, framed by nginx.
 *
 * Only C here: the C++ that drives the filter is behind FilterBridge.h.
 */

#include <ngx_config.h>
#include <ngx_core.h>
#include <ngx_http.h>

#include "FilterBridge.h"


/* A bit of the connection's "buffered" flags nginx's own filters leave free:
 * set while this module holds input or output of the response. */
#define NGX_HTTP_NIMBUSWATCH_BUFFERED  0x40

/* The rewritten body goes out in at most this many buffers of this size at
 * once; while all are on their way to the client, no more input is read. */
#define NGX_HTTP_NIMBUSWATCH_BUFFERS      4
#define NGX_HTTP_NIMBUSWATCH_BUFFER_SIZE  (32 * 1024)

/* A buffer that lies in a file is read this much at a time, as
 * nimbuswatch-host reads a file. */
#define NGX_HTTP_NIMBUSWATCH_FILE_READ    (64 * 1024)

#define NGX_HTTP_NIMBUSWATCH_PROBLEM      1024


typedef struct {
    ngx_str_t    config;   /* nimbuswatch_config */
    ngx_flag_t   used;     /* "nimbuswatch on" somewhere */
} ngx_http_nimbuswatch_main_conf_t;


typedef struct {
    ngx_flag_t   enable;
} ngx_http_nimbuswatch_loc_conf_t;


typedef struct {
    nw_response   *response;

    ngx_chain_t   *in;         /* input not yet handed to the filter */
    ngx_chain_t   *out;        /* output to pass on */
    ngx_chain_t  **last_out;
    ngx_chain_t   *free;
    ngx_chain_t   *busy;
    ngx_uint_t     buffers;    /* output buffers made so far */
    u_char        *file_read;  /* room for reading a file-backed buffer */

    unsigned       filtering:1;      /* the body goes through the filter */
    unsigned       ended:1;          /* the filter heard the end of the request */
    unsigned       done:1;           /* the last buffer has been passed on */
    unsigned       refused:1;        /* an error page answers instead */
    unsigned       flush:1;          /* output made so far is to be flushed */
    unsigned       ranges_hidden:1;  /* a Range field was kept from upstreams */
} ngx_http_nimbuswatch_ctx_t;


/* Where a field handed to the filter comes from in nginx's response. */
typedef enum {
    NGX_HTTP_NIMBUSWATCH_FROM_LIST = 0,
    NGX_HTTP_NIMBUSWATCH_FROM_CONTENT_TYPE,
    NGX_HTTP_NIMBUSWATCH_FROM_CONTENT_LENGTH,
    NGX_HTTP_NIMBUSWATCH_FROM_LAST_MODIFIED,
    NGX_HTTP_NIMBUSWATCH_FROM_ACCEPT_RANGES
} ngx_http_nimbuswatch_origin_e;


typedef struct {
    nw_field                       *fields;
    ngx_http_nimbuswatch_origin_e  *origins;
    ngx_table_elt_t               **headers;  /* the list's field, for FROM_LIST */
    ngx_uint_t                      count;
} ngx_http_nimbuswatch_head_t;


static ngx_int_t ngx_http_nimbuswatch_init(ngx_conf_t *cf);
static void *ngx_http_nimbuswatch_create_main_conf(ngx_conf_t *cf);
static void *ngx_http_nimbuswatch_create_loc_conf(ngx_conf_t *cf);
static char *ngx_http_nimbuswatch_merge_loc_conf(ngx_conf_t *cf, void *parent,
    void *child);
static char *ngx_http_nimbuswatch_config(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);
static char *ngx_http_nimbuswatch(ngx_conf_t *cf, ngx_command_t *cmd,
    void *conf);

static ngx_int_t ngx_http_nimbuswatch_precontent(ngx_http_request_t *r);
static ngx_int_t ngx_http_nimbuswatch_picture(ngx_http_request_t *r);
static ngx_int_t ngx_http_nimbuswatch_header_filter(ngx_http_request_t *r);
static ngx_int_t ngx_http_nimbuswatch_body_filter(ngx_http_request_t *r,
    ngx_chain_t *in);


static ngx_command_t  ngx_http_nimbuswatch_commands[] = {

    { ngx_string("nimbuswatch_config"),
      NGX_HTTP_MAIN_CONF|NGX_CONF_TAKE1,
      ngx_http_nimbuswatch_config,
      NGX_HTTP_MAIN_CONF_OFFSET,
      0,
      NULL },

    { ngx_string("nimbuswatch"),
      NGX_HTTP_MAIN_CONF|NGX_HTTP_SRV_CONF|NGX_HTTP_LOC_CONF|NGX_CONF_FLAG,
      ngx_http_nimbuswatch,
      NGX_HTTP_LOC_CONF_OFFSET,
      offsetof(ngx_http_nimbuswatch_loc_conf_t, enable),
      NULL },

      ngx_null_command
};


static ngx_http_module_t  ngx_http_nimbuswatch_module_ctx = {
    NULL,                                  /* preconfiguration */
    ngx_http_nimbuswatch_init,             /* postconfiguration */

    ngx_http_nimbuswatch_create_main_conf, /* create main configuration */
    NULL,                                  /* init main configuration */

    NULL,                                  /* create server configuration */
    NULL,                                  /* merge server configuration */

    ngx_http_nimbuswatch_create_loc_conf,  /* create location configuration */
    ngx_http_nimbuswatch_merge_loc_conf    /* merge location configuration */
};


ngx_module_t  ngx_http_nimbuswatch_module = {
    NGX_MODULE_V1,
    &ngx_http_nimbuswatch_module_ctx,      /* module context */
    ngx_http_nimbuswatch_commands,         /* module directives */
    NGX_HTTP_MODULE,                       /* module type */
    NULL,                                  /* init master */
    NULL,                                  /* init module */
    NULL,                                  /* init process */
    NULL,                                  /* init thread */
    NULL,                                  /* exit thread */
    NULL,                                  /* exit process */
    NULL,                                  /* exit master */
    NGX_MODULE_V1_PADDING
};


/*
 * What load_module reads from a dynamic module. The filters go between
 * the postpone filter and gzip: after SSI, sub_filter and the joining of
 * subrequests, so the filter sees the page as the client will, and before
 * gzip, chunking and HTTP/2 framing.
 */
ngx_module_t  *ngx_modules[] = {
    &ngx_http_nimbuswatch_module,
    NULL
};

char  *ngx_module_names[] = {
    "ngx_http_nimbuswatch_module",
    NULL
};

char  *ngx_module_order[] = {
    "ngx_http_nimbuswatch_module",
    "ngx_http_postpone_filter_module",
    NULL
};


static ngx_http_output_header_filter_pt  ngx_http_next_header_filter;
static ngx_http_output_body_filter_pt    ngx_http_next_body_filter;

static ngx_str_t  ngx_http_nimbuswatch_default_config =
    ngx_string("/etc/nimbuswatch/nimbuswatch.reg");


static nw_text
ngx_http_nimbuswatch_text(ngx_str_t *s)
{
    nw_text  t;

    t.data = (const char *) s->data;
    t.len = s->len;

    return t;
}


static ngx_int_t
ngx_http_nimbuswatch_copy(ngx_pool_t *pool, ngx_str_t *to, nw_text from)
{
    to->data = ngx_pnalloc(pool, from.len + 1);
    if (to->data == NULL) {
        return NGX_ERROR;
    }

    ngx_memcpy(to->data, from.data, from.len);
    to->data[from.len] = '\0';
    to->len = from.len;

    return NGX_OK;
}


/* Configuration */

static void *
ngx_http_nimbuswatch_create_main_conf(ngx_conf_t *cf)
{
    ngx_http_nimbuswatch_main_conf_t  *conf;

    conf = ngx_pcalloc(cf->pool, sizeof(ngx_http_nimbuswatch_main_conf_t));
    if (conf == NULL) {
        return NULL;
    }

    return conf;
}


static void *
ngx_http_nimbuswatch_create_loc_conf(ngx_conf_t *cf)
{
    ngx_http_nimbuswatch_loc_conf_t  *conf;

    conf = ngx_pcalloc(cf->pool, sizeof(ngx_http_nimbuswatch_loc_conf_t));
    if (conf == NULL) {
        return NULL;
    }

    conf->enable = NGX_CONF_UNSET;

    return conf;
}


static char *
ngx_http_nimbuswatch_merge_loc_conf(ngx_conf_t *cf, void *parent, void *child)
{
    ngx_http_nimbuswatch_loc_conf_t  *prev = parent;
    ngx_http_nimbuswatch_loc_conf_t  *conf = child;

    ngx_conf_merge_value(conf->enable, prev->enable, 0);

    return NGX_CONF_OK;
}


static char *
ngx_http_nimbuswatch_config(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    ngx_http_nimbuswatch_main_conf_t  *nmcf = conf;

    ngx_str_t  *value;

    if (nmcf->config.data != NULL) {
        return "is duplicate";
    }

    value = cf->args->elts;
    nmcf->config = value[1];

    /* a relative name is taken from nginx's configuration directory */
    if (ngx_conf_full_name(cf->cycle, &nmcf->config, 1) != NGX_OK) {
        return NGX_CONF_ERROR;
    }

    return NGX_CONF_OK;
}


static char *
ngx_http_nimbuswatch(ngx_conf_t *cf, ngx_command_t *cmd, void *conf)
{
    char                              *rv;
    ngx_http_nimbuswatch_loc_conf_t   *nlcf = conf;
    ngx_http_nimbuswatch_main_conf_t  *nmcf;

    rv = ngx_conf_set_flag_slot(cf, cmd, conf);

    if (rv == NGX_CONF_OK && nlcf->enable) {
        nmcf = ngx_http_conf_get_module_main_conf(cf,
                                                  ngx_http_nimbuswatch_module);
        nmcf->used = 1;
    }

    return rv;
}


/*
 * Checks the settings at every reading of the configuration (nginx -t,
 * start, reload), and starts the filter in the process that will fork the
 * workers: once per process, so its log is emptied once per nginx start.
 * Neither "nginx -t" nor "nginx -s" starts it. A reload cannot start the
 * filter again: it keeps the settings it started with.
 */
static ngx_int_t
ngx_http_nimbuswatch_start(ngx_conf_t *cf)
{
    char                               problem[NGX_HTTP_NIMBUSWATCH_PROBLEM];
    nw_text                            started;
    ngx_str_t                         *file;
    ngx_http_nimbuswatch_main_conf_t  *nmcf;

    nmcf = ngx_http_conf_get_module_main_conf(cf, ngx_http_nimbuswatch_module);

    if (!nmcf->used || ngx_process == NGX_PROCESS_SIGNALLER) {
        return NGX_OK;
    }

    file = nmcf->config.data ? &nmcf->config
                             : &ngx_http_nimbuswatch_default_config;

    if (!nw_check_config((const char *) file->data, problem, sizeof(problem)))
    {
        ngx_log_error(NGX_LOG_EMERG, cf->log, 0,
                      "nimbuswatch: unusable settings \"%V\": %s",
                      file, problem);
        return NGX_ERROR;
    }

    if (ngx_test_config) {
        return NGX_OK;
    }

    if (!nw_start_filter((const char *) file->data, problem, sizeof(problem)))
    {
        ngx_log_error(NGX_LOG_EMERG, cf->log, 0,
                      "nimbuswatch: cannot start the filter: %s", problem);
        return NGX_ERROR;
    }

    started = nw_started_config();

    if (started.len != file->len
        || ngx_strncmp(started.data, file->data, file->len) != 0)
    {
        ngx_log_error(NGX_LOG_WARN, cf->log, 0,
                      "nimbuswatch: the filter keeps the settings of \"%*s\" "
                      "until nginx restarts", started.len, started.data);
    }

    return NGX_OK;
}


static ngx_int_t
ngx_http_nimbuswatch_init(ngx_conf_t *cf)
{
    ngx_http_handler_pt        *h;
    ngx_http_core_main_conf_t  *cmcf;

    cmcf = ngx_http_conf_get_module_main_conf(cf, ngx_http_core_module);

    h = ngx_array_push(&cmcf->phases[NGX_HTTP_PRECONTENT_PHASE].handlers);
    if (h == NULL) {
        return NGX_ERROR;
    }

    *h = ngx_http_nimbuswatch_precontent;

    ngx_http_next_header_filter = ngx_http_top_header_filter;
    ngx_http_top_header_filter = ngx_http_nimbuswatch_header_filter;

    ngx_http_next_body_filter = ngx_http_top_body_filter;
    ngx_http_top_body_filter = ngx_http_nimbuswatch_body_filter;

    return ngx_http_nimbuswatch_start(cf);
}


/* The response's state */

static void
ngx_http_nimbuswatch_release(void *data)
{
    ngx_http_nimbuswatch_ctx_t  *ctx = data;

    if (ctx->response) {
        nw_response_free(ctx->response);
        ctx->response = NULL;
    }
}


static ngx_http_nimbuswatch_ctx_t *
ngx_http_nimbuswatch_context(ngx_http_request_t *r)
{
    ngx_http_nimbuswatch_ctx_t  *ctx;

    ctx = ngx_http_get_module_ctx(r, ngx_http_nimbuswatch_module);
    if (ctx) {
        return ctx;
    }

    ctx = ngx_pcalloc(r->pool, sizeof(ngx_http_nimbuswatch_ctx_t));
    if (ctx == NULL) {
        return NULL;
    }

    ctx->last_out = &ctx->out;
    ngx_http_set_ctx(r, ctx, ngx_http_nimbuswatch_module);

    return ctx;
}


/*
 * The filter's side of one request: URL and QUERY_STRING from the target
 * the client sent (as nimbuswatch-host reads them), the method and the
 * protocol. Released with the request's pool.
 */
static ngx_int_t
ngx_http_nimbuswatch_open(ngx_http_request_t *r, ngx_http_nimbuswatch_ctx_t *ctx)
{
    ngx_pool_cleanup_t  *cln;

    if (ctx->response) {
        return NGX_OK;
    }

    cln = ngx_pool_cleanup_add(r->pool, 0);
    if (cln == NULL) {
        return NGX_ERROR;
    }

    ctx->response = nw_response_new(ngx_http_nimbuswatch_text(&r->unparsed_uri),
                                    ngx_http_nimbuswatch_text(&r->uri),
                                    ngx_http_nimbuswatch_text(&r->args),
                                    ngx_http_nimbuswatch_text(&r->method_name),
                                    ngx_http_nimbuswatch_text(&r->http_protocol));
    if (ctx->response == NULL) {
        return NGX_DECLINED;
    }

    cln->handler = ngx_http_nimbuswatch_release;
    cln->data = ctx;

    return NGX_OK;
}


/* Requests */

static ngx_uint_t
ngx_http_nimbuswatch_hidden(ngx_table_elt_t *h)
{
    return (h->key.len == sizeof("range") - 1
            && ngx_strncmp(h->lowcase_key, "range", h->key.len) == 0)
           || (h->key.len == sizeof("if-range") - 1
               && ngx_strncmp(h->lowcase_key, "if-range", h->key.len) == 0)
           || (h->key.len == sizeof("accept-encoding") - 1
               && ngx_strncmp(h->lowcase_key, "accept-encoding", h->key.len)
                  == 0);
}


/*
 * Keeps Range, If-Range and Accept-Encoding from upstreams (proxy_pass,
 * fastcgi_pass, ...): a range of a page cannot be rewritten, nor can a page
 * the upstream compressed. They are left out of the list of fields the
 * upstream modules copy; nginx's own range and gzip filters, which read
 * them where the request keeps them apart, still see them, so nginx
 * answers ranges and compresses after the filter.
 */
static ngx_int_t
ngx_http_nimbuswatch_hide_from_upstreams(ngx_http_request_t *r,
    ngx_http_nimbuswatch_ctx_t *ctx)
{
    ngx_uint_t        i, hidden, count;
    ngx_list_t        kept;
    ngx_list_part_t  *part;
    ngx_table_elt_t  *h, *copy;

    hidden = 0;
    count = 0;

    for (part = &r->headers_in.headers.part; part; part = part->next) {
        h = part->elts;
        for (i = 0; i < part->nelts; i++) {
            count++;
            hidden += ngx_http_nimbuswatch_hidden(&h[i]);
        }
    }

    if (r->headers_in.range) {
        ctx->ranges_hidden = 1;
    }

    if (hidden == 0) {
        return NGX_OK;
    }

    if (ngx_list_init(&kept, r->pool, count, sizeof(ngx_table_elt_t)) != NGX_OK)
    {
        return NGX_ERROR;
    }

    for (part = &r->headers_in.headers.part; part; part = part->next) {
        h = part->elts;
        for (i = 0; i < part->nelts; i++) {
            if (ngx_http_nimbuswatch_hidden(&h[i])) {
                continue;
            }

            copy = ngx_list_push(&kept);
            if (copy == NULL) {
                return NGX_ERROR;
            }

            *copy = h[i];
        }
    }

    r->headers_in.headers = kept;

    return NGX_OK;
}


static ngx_int_t
ngx_http_nimbuswatch_precontent(ngx_http_request_t *r)
{
    nw_text                           url;
    ngx_http_nimbuswatch_ctx_t       *ctx;
    ngx_http_nimbuswatch_loc_conf_t  *nlcf;

    nlcf = ngx_http_get_module_loc_conf(r, ngx_http_nimbuswatch_module);

    if (!nlcf->enable || r != r->main || nw_started_config().len == 0) {
        return NGX_DECLINED;
    }

    ctx = ngx_http_nimbuswatch_context(r);
    if (ctx == NULL
        || ngx_http_nimbuswatch_hide_from_upstreams(r, ctx) != NGX_OK)
    {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    url = nw_images_url();

    if (url.len == 0 || r->uri.len <= url.len
        || ngx_strncmp(r->uri.data, url.data, url.len) != 0)
    {
        return NGX_DECLINED;
    }

    /*
     * A picture: on to the content phase, past the other handlers of this
     * one (try_files would look for the picture under the root).
     */
    r->content_handler = ngx_http_nimbuswatch_picture;

    return NGX_OK;
}


/*
 * A request under ImagesURL: the filter maps it (URL_MAP), drawing the
 * picture into ImagesDir when it is missing, and the file is then served as
 * nginx serves a static file.
 */
static ngx_int_t
ngx_http_nimbuswatch_picture(ngx_http_request_t *r)
{
    nw_text                      url, dir;
    ngx_int_t                    rc;
    ngx_str_t                    path;
    ngx_buf_t                   *b;
    ngx_uint_t                   level;
    ngx_chain_t                  out;
    ngx_open_file_info_t         of;
    ngx_http_core_loc_conf_t    *clcf;
    ngx_http_nimbuswatch_ctx_t  *ctx;

    if (!(r->method & (NGX_HTTP_GET|NGX_HTTP_HEAD))) {
        return NGX_HTTP_NOT_ALLOWED;
    }

    rc = ngx_http_discard_request_body(r);
    if (rc != NGX_OK) {
        return rc;
    }

    ctx = ngx_http_nimbuswatch_context(r);
    if (ctx == NULL || ngx_http_nimbuswatch_open(r, ctx) == NGX_ERROR) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    if (ctx->response == NULL) {
        return NGX_HTTP_NOT_FOUND;
    }

    url = nw_images_url();
    dir = nw_images_dir();

    path.len = dir.len + r->uri.len - url.len;
    path.data = ngx_pnalloc(r->pool, path.len + 1);
    if (path.data == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    ngx_memcpy(ngx_cpymem(path.data, dir.data, dir.len), r->uri.data + url.len,
               r->uri.len - url.len);
    path.data[path.len] = '\0';

    if (ngx_http_nimbuswatch_copy(r->pool, &path,
            nw_response_map_url(ctx->response,
                                ngx_http_nimbuswatch_text(&path)))
        != NGX_OK)
    {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    clcf = ngx_http_get_module_loc_conf(r, ngx_http_core_module);

    ngx_memzero(&of, sizeof(ngx_open_file_info_t));

    of.read_ahead = clcf->read_ahead;
    of.directio = clcf->directio;
    of.valid = clcf->open_file_cache_valid;
    of.min_uses = clcf->open_file_cache_min_uses;
    of.errors = clcf->open_file_cache_errors ? 1 : 0;
    of.events = clcf->open_file_cache_events ? 1 : 0;

    if (ngx_open_cached_file(clcf->open_file_cache, &path, &of, r->pool)
        != NGX_OK)
    {
        switch (of.err) {

        case 0:
            return NGX_HTTP_INTERNAL_SERVER_ERROR;

        case NGX_ENOENT:
        case NGX_ENOTDIR:
        case NGX_ENAMETOOLONG:
            level = NGX_LOG_ERR;
            rc = NGX_HTTP_NOT_FOUND;
            break;

        case NGX_EACCES:
            level = NGX_LOG_ERR;
            rc = NGX_HTTP_FORBIDDEN;
            break;

        default:
            level = NGX_LOG_CRIT;
            rc = NGX_HTTP_INTERNAL_SERVER_ERROR;
            break;
        }

        if (rc != NGX_HTTP_NOT_FOUND || clcf->log_not_found) {
            ngx_log_error(level, r->connection->log, of.err,
                          "%s \"%s\" failed", of.failed, path.data);
        }

        return rc;
    }

    if (!of.is_file) {
        return NGX_HTTP_NOT_FOUND;
    }

    r->root_tested = !r->error_page;
    r->connection->log->action = "sending picture to client";

    r->headers_out.status = NGX_HTTP_OK;
    r->headers_out.content_length_n = of.size;
    r->headers_out.last_modified_time = of.mtime;

    if (ngx_http_set_etag(r) != NGX_OK) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    ngx_str_set(&r->headers_out.content_type, "image/gif");
    r->headers_out.content_type_len = r->headers_out.content_type.len;
    r->headers_out.content_type_lowcase = NULL;

    r->allow_ranges = 1;

    b = ngx_calloc_buf(r->pool);
    if (b == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    b->file = ngx_pcalloc(r->pool, sizeof(ngx_file_t));
    if (b->file == NULL) {
        return NGX_HTTP_INTERNAL_SERVER_ERROR;
    }

    rc = ngx_http_send_header(r);

    if (rc == NGX_ERROR || rc > NGX_OK || r->header_only) {
        return rc;
    }

    b->file_pos = 0;
    b->file_last = of.size;

    b->in_file = b->file_last ? 1 : 0;
    b->last_buf = 1;
    b->last_in_chain = 1;
    b->sync = b->in_file ? 0 : 1;

    b->file->fd = of.fd;
    b->file->name = path;
    b->file->log = r->connection->log;
    b->file->directio = of.is_directio;

    out.buf = b;
    out.next = NULL;

    return ngx_http_output_filter(r, &out);
}


/* The head */

static void
ngx_http_nimbuswatch_add(ngx_http_nimbuswatch_head_t *head,
    ngx_http_nimbuswatch_origin_e origin, ngx_table_elt_t *h,
    const char *name, u_char *value, size_t len)
{
    nw_field  *field;

    field = &head->fields[head->count];
    field->name.data = name;
    field->name.len = ngx_strlen(name);
    field->value.data = (const char *) value;
    field->value.len = len;

    head->origins[head->count] = origin;
    head->headers[head->count] = h;
    head->count++;
}


/* nginx sends Accept-Ranges for a whole response it could send a range of. */
static ngx_uint_t
ngx_http_nimbuswatch_announces_ranges(ngx_http_request_t *r)
{
    return r->allow_ranges
           && r->http_version >= NGX_HTTP_VERSION_10
           && r->headers_out.status == NGX_HTTP_OK
           && r->headers_out.content_length_n != -1
           && r->headers_out.accept_ranges == NULL;
}


/*
 * The response's fields as nginx will write them: Content-Type with its
 * charset, Content-Length, Last-Modified and Accept-Ranges when nginx makes
 * them itself, and every field of the list. Date, Server and the framing
 * fields come after the filters and are none of the filter's business.
 */
static ngx_int_t
ngx_http_nimbuswatch_collect(ngx_http_request_t *r,
    ngx_http_nimbuswatch_head_t *head)
{
    u_char           *p;
    size_t            len;
    ngx_uint_t        i, n;
    ngx_list_part_t  *part;
    ngx_table_elt_t  *h;

    n = 4;
    for (part = &r->headers_out.headers.part; part; part = part->next) {
        n += part->nelts;
    }

    head->count = 0;
    head->fields = ngx_palloc(r->pool, n * sizeof(nw_field));
    head->origins = ngx_palloc(r->pool,
                               n * sizeof(ngx_http_nimbuswatch_origin_e));
    head->headers = ngx_palloc(r->pool, n * sizeof(ngx_table_elt_t *));

    if (head->fields == NULL || head->origins == NULL || head->headers == NULL)
    {
        return NGX_ERROR;
    }

    if (r->headers_out.content_type.len) {
        len = r->headers_out.content_type.len;

        if (r->headers_out.content_type_len == r->headers_out.content_type.len
            && r->headers_out.charset.len)
        {
            len += sizeof("; charset=") - 1 + r->headers_out.charset.len;
        }

        p = ngx_pnalloc(r->pool, len);
        if (p == NULL) {
            return NGX_ERROR;
        }

        if (len == r->headers_out.content_type.len) {
            ngx_memcpy(p, r->headers_out.content_type.data, len);

        } else {
            ngx_sprintf(p, "%V; charset=%V", &r->headers_out.content_type,
                        &r->headers_out.charset);
        }

        ngx_http_nimbuswatch_add(head, NGX_HTTP_NIMBUSWATCH_FROM_CONTENT_TYPE,
                                 NULL, "Content-Type", p, len);
    }

    if (r->headers_out.content_length == NULL
        && r->headers_out.content_length_n >= 0)
    {
        p = ngx_pnalloc(r->pool, NGX_OFF_T_LEN);
        if (p == NULL) {
            return NGX_ERROR;
        }

        len = ngx_sprintf(p, "%O", r->headers_out.content_length_n) - p;

        ngx_http_nimbuswatch_add(head,
                                 NGX_HTTP_NIMBUSWATCH_FROM_CONTENT_LENGTH,
                                 NULL, "Content-Length", p, len);
    }

    if (r->headers_out.last_modified == NULL
        && r->headers_out.last_modified_time != -1)
    {
        p = ngx_pnalloc(r->pool, sizeof("Mon, 28 Sep 1970 06:00:00 GMT") - 1);
        if (p == NULL) {
            return NGX_ERROR;
        }

        len = ngx_http_time(p, r->headers_out.last_modified_time) - p;

        ngx_http_nimbuswatch_add(head, NGX_HTTP_NIMBUSWATCH_FROM_LAST_MODIFIED,
                                 NULL, "Last-Modified", p, len);
    }

    if (ngx_http_nimbuswatch_announces_ranges(r)) {
        ngx_http_nimbuswatch_add(head, NGX_HTTP_NIMBUSWATCH_FROM_ACCEPT_RANGES,
                                 NULL, "Accept-Ranges", (u_char *) "bytes",
                                 sizeof("bytes") - 1);
    }

    for (part = &r->headers_out.headers.part; part; part = part->next) {
        h = part->elts;
        for (i = 0; i < part->nelts; i++) {
            if (h[i].hash == 0) {
                continue;
            }

            head->fields[head->count].name.data = (const char *) h[i].key.data;
            head->fields[head->count].name.len = h[i].key.len;
            head->fields[head->count].value.data =
                                            (const char *) h[i].value.data;
            head->fields[head->count].value.len = h[i].value.len;
            head->origins[head->count] = NGX_HTTP_NIMBUSWATCH_FROM_LIST;
            head->headers[head->count] = &h[i];
            head->count++;
        }
    }

    return NGX_OK;
}


/* A field of the list the filter removed. */
static void
ngx_http_nimbuswatch_drop(ngx_http_request_t *r, ngx_table_elt_t *h)
{
    ngx_http_headers_out_t  *out = &r->headers_out;

    if (h == out->content_length) {
        ngx_http_clear_content_length(r);
        return;
    }

    if (h == out->last_modified) {
        ngx_http_clear_last_modified(r);
        return;
    }

    if (h == out->accept_ranges) {
        ngx_http_clear_accept_ranges(r);
        return;
    }

    h->hash = 0;

    if (h == out->etag) {
        out->etag = NULL;
    }

    if (h == out->content_encoding) {
        out->content_encoding = NULL;
    }

    if (h == out->location) {
        out->location = NULL;
    }

    if (h == out->content_range) {
        out->content_range = NULL;
    }

    if (h == out->expires) {
        out->expires = NULL;
    }
}


/* A field the filter gave a new value. */
static ngx_int_t
ngx_http_nimbuswatch_change(ngx_http_request_t *r,
    ngx_http_nimbuswatch_origin_e origin, ngx_table_elt_t *h, nw_text value)
{
    ngx_str_t  copy;

    if (ngx_http_nimbuswatch_copy(r->pool, &copy, value) != NGX_OK) {
        return NGX_ERROR;
    }

    switch (origin) {

    case NGX_HTTP_NIMBUSWATCH_FROM_CONTENT_TYPE:
        r->headers_out.content_type = copy;
        r->headers_out.content_type_len = copy.len;
        r->headers_out.content_type_lowcase = NULL;
        r->headers_out.charset.len = 0;
        break;

    case NGX_HTTP_NIMBUSWATCH_FROM_CONTENT_LENGTH:
        r->headers_out.content_length_n = ngx_atoof(copy.data, copy.len);
        break;

    case NGX_HTTP_NIMBUSWATCH_FROM_LAST_MODIFIED:
        r->headers_out.last_modified_time = ngx_parse_http_time(copy.data,
                                                                copy.len);
        break;

    case NGX_HTTP_NIMBUSWATCH_FROM_ACCEPT_RANGES:
        ngx_http_clear_accept_ranges(r);

        h = ngx_list_push(&r->headers_out.headers);
        if (h == NULL) {
            return NGX_ERROR;
        }

        h->hash = 1;
        ngx_str_set(&h->key, "Accept-Ranges");
        h->value = copy;
        break;

    default: /* NGX_HTTP_NIMBUSWATCH_FROM_LIST */
        h->value = copy;

        if (h == r->headers_out.content_length) {
            r->headers_out.content_length_n = ngx_atoof(copy.data, copy.len);
        }

        if (h == r->headers_out.last_modified) {
            r->headers_out.last_modified_time = ngx_parse_http_time(copy.data,
                                                                    copy.len);
        }

        break;
    }

    return NGX_OK;
}


static void
ngx_http_nimbuswatch_remove(ngx_http_request_t *r,
    ngx_http_nimbuswatch_origin_e origin, ngx_table_elt_t *h)
{
    switch (origin) {

    case NGX_HTTP_NIMBUSWATCH_FROM_CONTENT_TYPE:
        r->headers_out.content_type.len = 0;
        r->headers_out.content_type_len = 0;
        r->headers_out.content_type_lowcase = NULL;
        r->headers_out.charset.len = 0;
        break;

    case NGX_HTTP_NIMBUSWATCH_FROM_CONTENT_LENGTH:
        ngx_http_clear_content_length(r);
        break;

    case NGX_HTTP_NIMBUSWATCH_FROM_LAST_MODIFIED:
        ngx_http_clear_last_modified(r);
        break;

    case NGX_HTTP_NIMBUSWATCH_FROM_ACCEPT_RANGES:
        ngx_http_clear_accept_ranges(r);
        break;

    default: /* NGX_HTTP_NIMBUSWATCH_FROM_LIST */
        ngx_http_nimbuswatch_drop(r, h);
        break;
    }
}


/* The head the filter emitted, applied to nginx's response. */
static ngx_int_t
ngx_http_nimbuswatch_apply(ngx_http_request_t *r, nw_response *response,
    ngx_http_nimbuswatch_head_t *head)
{
    nw_text           value;
    nw_field          added;
    ngx_uint_t        i, n;
    ngx_table_elt_t  *h;

    for (i = 0; i < head->count; i++) {

        switch (nw_field_fate(response, i, &value)) {

        case NW_CHANGED:
            if (ngx_http_nimbuswatch_change(r, head->origins[i],
                                            head->headers[i], value)
                != NGX_OK)
            {
                return NGX_ERROR;
            }
            break;

        case NW_REMOVED:
            ngx_http_nimbuswatch_remove(r, head->origins[i], head->headers[i]);
            break;

        default: /* NW_KEPT */
            break;
        }
    }

    n = nw_added_count(response);

    for (i = 0; i < n; i++) {
        added = nw_added_field(response, i);
        if (added.name.len == 0) {
            continue;
        }

        h = ngx_list_push(&r->headers_out.headers);
        if (h == NULL) {
            return NGX_ERROR;
        }

        h->hash = 1;

        if (ngx_http_nimbuswatch_copy(r->pool, &h->key, added.name) != NGX_OK
            || ngx_http_nimbuswatch_copy(r->pool, &h->value, added.value)
               != NGX_OK)
        {
            return NGX_ERROR;
        }
    }

    return NGX_OK;
}


static ngx_int_t
ngx_http_nimbuswatch_header_filter(ngx_http_request_t *r)
{
    nw_text                           reason, problem;
    ngx_int_t                         rc;
    ngx_http_core_loc_conf_t         *clcf;
    ngx_http_nimbuswatch_ctx_t       *ctx;
    ngx_http_nimbuswatch_head_t       head;
    ngx_http_nimbuswatch_loc_conf_t  *nlcf;

    nlcf = ngx_http_get_module_loc_conf(r, ngx_http_nimbuswatch_module);

    if (r != r->main || !nlcf->enable || nw_started_config().len == 0) {
        return ngx_http_next_header_filter(r);
    }

    ctx = ngx_http_nimbuswatch_context(r);
    if (ctx == NULL) {
        return NGX_ERROR;
    }

    rc = ngx_http_nimbuswatch_open(r, ctx);
    if (rc == NGX_ERROR) {
        return NGX_ERROR;
    }

    if (rc == NGX_DECLINED) {
        return ngx_http_next_header_filter(r);
    }

    if (ngx_http_nimbuswatch_collect(r, &head) != NGX_OK) {
        return NGX_ERROR;
    }

    reason.data = NULL;
    reason.len = 0;

    if (r->headers_out.status_line.len > 4) {
        reason.data = (const char *) r->headers_out.status_line.data + 4;
        reason.len = r->headers_out.status_line.len - 4;
    }

    switch (nw_response_head(ctx->response,
                             (unsigned) r->headers_out.status, reason,
                             head.fields, head.count))
    {

    case NW_UNTOUCHED:
        ngx_http_nimbuswatch_release(ctx);

        /* a range the upstream was not asked for: nginx cuts it */
        if (ctx->ranges_hidden
            && r->headers_out.status == NGX_HTTP_OK
            && r->headers_out.content_length_n >= 0)
        {
            r->allow_ranges = 1;
        }

        return ngx_http_next_header_filter(r);

    case NW_FILTERED:
        if (ngx_http_nimbuswatch_apply(r, ctx->response, &head) != NGX_OK) {
            return NGX_ERROR;
        }

        /*
         * The body may come in file buffers: they are read here. Where
         * reading is to leave the event loop (aio), nginx reads them.
         */
        ctx->filtering = 1;

        clcf = ngx_http_get_module_loc_conf(r, ngx_http_core_module);

        if (clcf->aio) {
            r->filter_need_in_memory = 1;
            r->main_filter_need_in_memory = 1;
        }

        return ngx_http_next_header_filter(r);

    default: /* NW_REFUSED */
        problem = nw_response_problem(ctx->response);

        ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                      "nimbuswatch: %*s", problem.len, problem.data);

        ngx_http_nimbuswatch_release(ctx);

        rc = ngx_http_filter_finalize_request(r, &ngx_http_nimbuswatch_module,
                                              NGX_HTTP_BAD_GATEWAY);
        ctx->refused = 1;

        return rc;
    }
}


/* The body */

/* The client is gone, or a filter further on failed. */
static ngx_int_t
ngx_http_nimbuswatch_stop(ngx_http_request_t *r, ngx_http_nimbuswatch_ctx_t *ctx)
{
    ctx->done = 1;
    r->connection->buffered &= ~NGX_HTTP_NIMBUSWATCH_BUFFERED;

    return NGX_ERROR;
}


static ngx_int_t
ngx_http_nimbuswatch_failed(ngx_http_request_t *r,
    ngx_http_nimbuswatch_ctx_t *ctx)
{
    nw_text  problem;

    problem = nw_response_problem(ctx->response);

    ngx_log_error(NGX_LOG_ERR, r->connection->log, 0,
                  "nimbuswatch: %*s; the response is cut off",
                  problem.len, problem.data);

    return ngx_http_nimbuswatch_stop(r, ctx);
}


/*
 * Hands the filter the bytes of one buffer: all of a buffer in memory, or
 * the next part of one that lies in a file, read here a part at a time
 * (nginx's own reading would go in output_buffers, 32 KiB by default, each
 * one more call to read and one more to write). NGX_AGAIN while the file
 * holds more of the buffer.
 */
static ngx_int_t
ngx_http_nimbuswatch_feed(ngx_http_request_t *r,
    ngx_http_nimbuswatch_ctx_t *ctx, ngx_buf_t *b)
{
    ssize_t  n;

    if (ngx_buf_in_memory(b)) {
        if (b->last > b->pos
            && !nw_response_body(ctx->response, (char *) b->pos,
                                 (size_t) (b->last - b->pos), 0))
        {
            return NGX_ERROR;
        }

        b->pos = b->last;

        if (b->in_file) {
            b->file_pos = b->file_last;
        }

        return NGX_OK;
    }

    if (!b->in_file || b->file_pos >= b->file_last) {
        return NGX_OK;
    }

    if (ctx->file_read == NULL) {
        ctx->file_read = ngx_palloc(r->pool, NGX_HTTP_NIMBUSWATCH_FILE_READ);
        if (ctx->file_read == NULL) {
            return NGX_ERROR;
        }
    }

    n = ngx_read_file(b->file, ctx->file_read,
                      (size_t) ngx_min(b->file_last - b->file_pos,
                                       NGX_HTTP_NIMBUSWATCH_FILE_READ),
                      b->file_pos);
    if (n <= 0) {
        return NGX_ERROR;
    }

    if (!nw_response_body(ctx->response, (char *) ctx->file_read,
                          (size_t) n, 1))
    {
        return NGX_ERROR;
    }

    b->file_pos += n;

    return (b->file_pos < b->file_last) ? NGX_AGAIN : NGX_OK;
}


/* An output buffer with room, or NULL while all are on their way out. */
static ngx_chain_t *
ngx_http_nimbuswatch_buffer(ngx_http_request_t *r,
    ngx_http_nimbuswatch_ctx_t *ctx)
{
    ngx_buf_t    *b;
    ngx_chain_t  *cl;

    if (ctx->free) {
        cl = ctx->free;
        ctx->free = cl->next;
        b = cl->buf;

        b->pos = b->start;
        b->last = b->start;
        b->flush = 0;
        b->last_buf = 0;

    } else if (ctx->buffers < NGX_HTTP_NIMBUSWATCH_BUFFERS) {
        b = ngx_create_temp_buf(r->pool, NGX_HTTP_NIMBUSWATCH_BUFFER_SIZE);
        if (b == NULL) {
            return NULL;
        }

        b->tag = (ngx_buf_tag_t) &ngx_http_nimbuswatch_module;
        b->recycled = 1;

        cl = ngx_alloc_chain_link(r->pool);
        if (cl == NULL) {
            return NULL;
        }

        cl->buf = b;
        ctx->buffers++;

    } else {
        return NULL;
    }

    cl->next = NULL;

    return cl;
}


static void
ngx_http_nimbuswatch_append(ngx_http_nimbuswatch_ctx_t *ctx, ngx_chain_t *cl)
{
    cl->next = NULL;
    *ctx->last_out = cl;
    ctx->last_out = &cl->next;
}


/* The last buffer of the response; a buffer of its own when no output
 * carries the mark. */
static ngx_int_t
ngx_http_nimbuswatch_finish(ngx_http_request_t *r,
    ngx_http_nimbuswatch_ctx_t *ctx, ngx_chain_t *last)
{
    ngx_buf_t    *b;
    ngx_chain_t  *cl;

    if (last) {
        last->buf->last_buf = 1;
        ctx->done = 1;
        return NGX_OK;
    }

    b = ngx_calloc_buf(r->pool);
    cl = ngx_alloc_chain_link(r->pool);
    if (b == NULL || cl == NULL) {
        return NGX_ERROR;
    }

    b->last_buf = 1;
    cl->buf = b;
    ngx_http_nimbuswatch_append(ctx, cl);
    ctx->done = 1;

    return NGX_OK;
}


/*
 * Moves the filter's pending output into output buffers, filling the last
 * one before taking another; `last` is the last buffer of this round's
 * output. NGX_AGAIN when the buffers ran out.
 */
static ngx_int_t
ngx_http_nimbuswatch_take(ngx_http_request_t *r,
    ngx_http_nimbuswatch_ctx_t *ctx, ngx_chain_t **last)
{
    long          n;
    ngx_buf_t    *b;
    ngx_chain_t  *cl;
    ngx_uint_t    fresh;

    while (nw_response_pending(ctx->response)) {
        cl = *last;
        fresh = (cl == NULL || cl->buf->last == cl->buf->end);

        if (fresh) {
            cl = ngx_http_nimbuswatch_buffer(r, ctx);
            if (cl == NULL) {
                return NGX_AGAIN;
            }
        }

        b = cl->buf;
        n = nw_response_take(ctx->response, (char *) b->last,
                             (size_t) (b->end - b->last));
        if (n < 0) {
            return NGX_ERROR;
        }

        b->last += n;

        if (!fresh) {
            continue;
        }

        if (n == 0) {
            cl->next = ctx->free;
            ctx->free = cl;
            continue;
        }

        ngx_http_nimbuswatch_append(ctx, cl);
        *last = cl;
    }

    return NGX_OK;
}


/*
 * Moves the response through the filter as far as the output buffers
 * allow: the filter's pending output into buffers first, then the next
 * input buffer to the filter, until input or buffers run out. NGX_AGAIN
 * when the buffers ran out.
 */
static ngx_int_t
ngx_http_nimbuswatch_fill(ngx_http_request_t *r, ngx_http_nimbuswatch_ctx_t *ctx)
{
    ngx_int_t     rc;
    ngx_buf_t    *b;
    ngx_chain_t  *cl, *last;

    last = NULL;

    for ( ;; ) {

        rc = ngx_http_nimbuswatch_take(r, ctx, &last);
        if (rc != NGX_OK) {
            return rc;
        }

        if (ctx->flush) {
            if (last) {
                last->buf->flush = 1;
            }

            ctx->flush = 0;
        }

        if (ctx->ended) {
            return ngx_http_nimbuswatch_finish(r, ctx, last);
        }

        if (ctx->in == NULL) {
            return NGX_OK;
        }

        cl = ctx->in;
        b = cl->buf;

        rc = ngx_http_nimbuswatch_feed(r, ctx, b);

        if (rc == NGX_ERROR) {
            return NGX_ERROR;
        }

        if (rc == NGX_AGAIN) {
            continue;  /* the next part after this one's output */
        }

        ctx->in = cl->next;
        ngx_free_chain(r->pool, cl);

        if (b->flush) {
            ctx->flush = 1;
        }

        if (b->last_buf) {
            ctx->ended = 1;

            if (!nw_response_end(ctx->response)) {
                return NGX_ERROR;
            }
        }
    }
}


static ngx_int_t
ngx_http_nimbuswatch_body_filter(ngx_http_request_t *r, ngx_chain_t *in)
{
    ngx_int_t                    rc;
    ngx_chain_t                 *cl;
    ngx_http_nimbuswatch_ctx_t  *ctx;

    ctx = ngx_http_get_module_ctx(r, ngx_http_nimbuswatch_module);

    if (ctx == NULL || !(ctx->filtering || ctx->refused)) {
        return ngx_http_next_body_filter(r, in);
    }

    if (ctx->refused) {
        /* the body of a response answered by an error page instead */
        rc = ngx_http_next_body_filter(r, NULL);
        return (rc == NGX_OK) ? NGX_ERROR : rc;
    }

    if (ctx->done) {
        return ngx_http_next_body_filter(r, in);
    }

    if (in && ngx_chain_add_copy(r->pool, &ctx->in, in) != NGX_OK) {
        return NGX_ERROR;
    }

    /* buffers the client has taken by now are free again */
    cl = NULL;
    ngx_chain_update_chains(r->pool, &ctx->free, &ctx->busy, &cl,
                            (ngx_buf_tag_t) &ngx_http_nimbuswatch_module);

    for ( ;; ) {
        rc = ngx_http_nimbuswatch_fill(r, ctx);

        if (rc == NGX_ERROR) {
            return ngx_http_nimbuswatch_failed(r, ctx);
        }

        if (ctx->in || nw_response_pending(ctx->response)) {
            r->connection->buffered |= NGX_HTTP_NIMBUSWATCH_BUFFERED;

        } else {
            r->connection->buffered &= ~NGX_HTTP_NIMBUSWATCH_BUFFERED;
        }

        if (ctx->out == NULL && rc == NGX_OK) {
            return ctx->busy ? NGX_AGAIN : NGX_OK;
        }

        if (ctx->out) {
            rc = ngx_http_next_body_filter(r, ctx->out);

            if (rc == NGX_ERROR) {
                return ngx_http_nimbuswatch_stop(r, ctx);
            }

            ngx_chain_update_chains(r->pool, &ctx->free, &ctx->busy, &ctx->out,
                                (ngx_buf_tag_t) &ngx_http_nimbuswatch_module);
            ctx->last_out = &ctx->out;

            if (ctx->done) {
                return rc;
            }

            if (ctx->free || ctx->buffers < NGX_HTTP_NIMBUSWATCH_BUFFERS) {
                continue;
            }
        }

        /*
         * Every buffer waits further on, perhaps held back as too small to
         * go alone: a call without output has them sent now. While the
         * client cannot take them, its readiness to write brings this
         * filter back.
         */
        if (ngx_http_next_body_filter(r, NULL) == NGX_ERROR) {
            return ngx_http_nimbuswatch_stop(r, ctx);
        }

        cl = NULL;
        ngx_chain_update_chains(r->pool, &ctx->free, &ctx->busy, &cl,
                                (ngx_buf_tag_t) &ngx_http_nimbuswatch_module);

        if (ctx->free == NULL) {
            return NGX_AGAIN;
        }
    }
}
