/* Interface of libqel_io.so.9, the platform's configuration library, as this
 * project uses it. The stand-in in this folder implements it; on a kestrane
 * host the platform's own library is used instead. */
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

struct qel_config_node {
  struct rb_node rb;
  char* key;
  char* value;          /* raw, as the file holds it */
  char* value_expanded; /* after expansion */
  struct qel_config_node* prev;
};

struct qel_config* qel_create_config(void);
/* 0, or a negated errno value. */
int32_t qel_merge_config(struct qel_config* cfg, const char* path);
/* 0 and *out set to the expanded value, or nonzero when not found. */
int32_t qel_config_getstr_expand(struct qel_config* cfg, const char* key, char** out);
struct qel_config_node* qel_config_get_first(struct qel_config* cfg);
struct qel_config_node* qel_config_get_next(struct qel_config_node* node);
void qel_free_config(struct qel_config* cfg);

#ifdef __cplusplus
}
#endif

#endif /* QEL_IO_H_ */
