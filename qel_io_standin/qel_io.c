#include "qel_io.h"

#include <errno.h>
#include <stdlib.h>

#define QEL_EXPORT __attribute__((visibility("default")))

QEL_EXPORT struct qel_config* qel_create_config(void) { return calloc(1, sizeof(struct qel_config)); }
QEL_EXPORT int32_t qel_merge_config(struct qel_config* cfg, const char* path) { (void)cfg; (void)path; return -ENOSYS; }
QEL_EXPORT int32_t qel_config_getstr_expand(struct qel_config* cfg, const char* key, char** out) { (void)cfg; (void)key; (void)out; return -1; }
QEL_EXPORT struct qel_config_node* qel_config_get_first(struct qel_config* cfg) { (void)cfg; return 0; }
QEL_EXPORT struct qel_config_node* qel_config_get_next(struct qel_config_node* node) { (void)node; return 0; }
QEL_EXPORT void qel_free_config(struct qel_config* cfg) { free(cfg); }
