/* Interface of libqel_io.so.9, the platform's configuration library, as this
 * project uses it. The stand-in in this folder implements it; on a kestrane
 * host the platform's own library is used instead. The records are laid out
 * as the platform's (64-bit): callers read nodes by these offsets. Callers
 * read only key and value of a node and pass it to qel_config_get_next; the
 * rb fields, prev and the root are the library's own (the stand-in keeps no
 * tree: its root stays empty). */
#ifndef QEL_IO_H_
#define QEL_IO_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct rb_node {
  uint64_t rb_parent; /* parent pointer, colour in the low bit */
  struct rb_node* rb_right;
  struct rb_node* rb_left;
};

struct rb_root {
  struct rb_node* rb_node;
};

struct qel_config {
  struct rb_root root;
};

/* One setting. It and its texts belong to the configuration. */
struct qel_config_node {
  struct rb_node rb;            /* offset 0 */
  char* key;                    /* offset 24: the full key */
  char* value;                  /* offset 32: raw, as the file holds it */
  char* value_expanded;         /* offset 40: after expansion */
  struct qel_config_node* prev; /* offset 48: the library's own */
};

/* A new, empty configuration, or NULL when out of memory. */
struct qel_config* qel_create_config(void);
/* Adds the settings of the file at path; a key already held takes the new
 * value. 0, or a negated errno value: -EISDIR for a directory, -ENXIO at once
 * for any other file that is not a regular one (FIFO, socket, device), which
 * is neither read nor waited for. */
int32_t qel_merge_config(struct qel_config* cfg, const char* path);
/* 0 and *out set to the expanded value, or nonzero when not found. The text
 * belongs to the configuration and lasts until its next merge or free. */
int32_t qel_config_getstr_expand(struct qel_config* cfg, const char* key, char** out);
/* Every setting exactly once: the first, or NULL when there is none; then
 * the next one, or NULL after the last. Nodes last until the configuration's
 * next merge or free. The stand-in goes in the order of the files (a key in
 * the place of the first line that gave it), or in the reverse of that when
 * built with QEL_IO_REVERSE_WALK; callers must not rely on any order. */
struct qel_config_node* qel_config_get_first(struct qel_config* cfg);
struct qel_config_node* qel_config_get_next(struct qel_config_node* node);
/* Frees the configuration with its nodes and texts; NULL is ignored. */
void qel_free_config(struct qel_config* cfg);

#ifdef __cplusplus
}
#endif

#endif /* QEL_IO_H_ */
