/* Stand-in for the platform's libqel_io.so.9: files of "key = value" lines
 * kept in a red-black tree ordered by the bytes of the key. The syntax, the
 * error numbers and the (absent) expansion are described in README.md. */
#define _POSIX_C_SOURCE 200809L

#include "qel_io.h"

#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#define QEL_EXPORT __attribute__((visibility("default")))

/* The largest buffer a file is read into. */
#define MAX_BUFFER ((size_t)PTRDIFF_MAX / 2)

/* The binding reads these records by offset; they must not move. */
_Static_assert(sizeof(struct qel_config) == 8, "qel_config is 8 bytes");
_Static_assert(sizeof(struct rb_node) == 24, "rb_node is 24 bytes");
_Static_assert(offsetof(struct rb_node, rb_right) == 8, "rb_right at 8");
_Static_assert(offsetof(struct rb_node, rb_left) == 16, "rb_left at 16");
_Static_assert(sizeof(struct qel_config_node) == 56, "qel_config_node is 56 bytes");
_Static_assert(offsetof(struct qel_config_node, key) == 24, "key at 24");
_Static_assert(offsetof(struct qel_config_node, value) == 32, "value at 32");
_Static_assert(offsetof(struct qel_config_node, value_expanded) == 40, "value_expanded at 40");
_Static_assert(offsetof(struct qel_config_node, prev) == 48, "prev at 48");

/* ---- red-black tree; the colour lives in the low bit of rb_parent ---- */

enum { RB_RED = 0, RB_BLACK = 1 };

static struct rb_node* rb_parent_of(const struct rb_node* n) {
  return (struct rb_node*)(uintptr_t)(n->rb_parent & ~(uint64_t)1);
}

static int rb_is_red(const struct rb_node* n) { return n != NULL && (n->rb_parent & 1) == RB_RED; }

static void rb_set_parent(struct rb_node* n, struct rb_node* parent) {
  n->rb_parent = (n->rb_parent & 1) | (uint64_t)(uintptr_t)parent;
}

static void rb_set_black(struct rb_node* n) { n->rb_parent |= RB_BLACK; }
static void rb_set_red(struct rb_node* n) { n->rb_parent &= ~(uint64_t)1; }

/* Puts child where old was below parent (or at the root). */
static void rb_replace_child(struct rb_root* root, struct rb_node* parent, struct rb_node* old,
                             struct rb_node* child) {
  if (parent == NULL)
    root->rb_node = child;
  else if (parent->rb_left == old)
    parent->rb_left = child;
  else
    parent->rb_right = child;
}

static void rb_rotate_left(struct rb_root* root, struct rb_node* n) {
  struct rb_node* r = n->rb_right;
  struct rb_node* parent = rb_parent_of(n);
  n->rb_right = r->rb_left;
  if (r->rb_left != NULL) rb_set_parent(r->rb_left, n);
  r->rb_left = n;
  rb_set_parent(r, parent);
  rb_replace_child(root, parent, n, r);
  rb_set_parent(n, r);
}

static void rb_rotate_right(struct rb_root* root, struct rb_node* n) {
  struct rb_node* l = n->rb_left;
  struct rb_node* parent = rb_parent_of(n);
  n->rb_left = l->rb_right;
  if (l->rb_right != NULL) rb_set_parent(l->rb_right, n);
  l->rb_right = n;
  rb_set_parent(l, parent);
  rb_replace_child(root, parent, n, l);
  rb_set_parent(n, l);
}

/* Restores the colour rules after n was linked in as a red leaf. */
static void rb_insert_fixup(struct rb_root* root, struct rb_node* n) {
  struct rb_node* parent;
  while ((parent = rb_parent_of(n)) != NULL && rb_is_red(parent)) {
    struct rb_node* gparent = rb_parent_of(parent); /* a red parent is never the root */
    if (parent == gparent->rb_left) {
      struct rb_node* uncle = gparent->rb_right;
      if (rb_is_red(uncle)) {
        rb_set_black(uncle);
        rb_set_black(parent);
        rb_set_red(gparent);
        n = gparent;
        continue;
      }
      if (n == parent->rb_right) {
        rb_rotate_left(root, parent);
        n = parent;
        parent = rb_parent_of(n);
      }
      rb_set_black(parent);
      rb_set_red(gparent);
      rb_rotate_right(root, gparent);
    } else {
      struct rb_node* uncle = gparent->rb_left;
      if (rb_is_red(uncle)) {
        rb_set_black(uncle);
        rb_set_black(parent);
        rb_set_red(gparent);
        n = gparent;
        continue;
      }
      if (n == parent->rb_left) {
        rb_rotate_right(root, parent);
        n = parent;
        parent = rb_parent_of(n);
      }
      rb_set_black(parent);
      rb_set_red(gparent);
      rb_rotate_left(root, gparent);
    }
  }
  rb_set_black(root->rb_node);
}

static struct rb_node* rb_leftmost(struct rb_node* n) {
  if (n == NULL) return NULL;
  while (n->rb_left != NULL) n = n->rb_left;
  return n;
}

/* ---- settings ---- */

static struct qel_config_node* setting_of(struct rb_node* n) {
  return (struct qel_config_node*)(void*)((char*)n - offsetof(struct qel_config_node, rb));
}

/* A new setting is one allocation: the node, then its key, then its value.
 * A value that outgrows its slot moves to an allocation of its own. */
static char* inline_value(const struct qel_config_node* s) { return s->key + strlen(s->key) + 1; }

static void free_setting(struct qel_config_node* s) {
  if (s->value != inline_value(s)) free(s->value);
  free(s);
}

static int replace_value(struct qel_config_node* s, const char* value, size_t vlen) {
  if (vlen <= strlen(s->value)) {
    memcpy(s->value, value, vlen + 1);
    return 0;
  }
  char* v = malloc(vlen + 1);
  if (v == NULL) return -ENOMEM;
  memcpy(v, value, vlen + 1);
  if (s->value != inline_value(s)) free(s->value);
  s->value = v;
  s->value_expanded = v;
  return 0;
}

/* key and value are NUL-terminated, of klen and vlen bytes. The last
 * value given for a key wins. */
static int put_setting(struct qel_config* cfg, const char* key, size_t klen, const char* value,
                       size_t vlen) {
  struct rb_node** link = &cfg->root.rb_node;
  struct rb_node* parent = NULL;
  while (*link != NULL) {
    parent = *link;
    struct qel_config_node* s = setting_of(parent);
    int d = strcmp(key, s->key);
    if (d < 0)
      link = &parent->rb_left;
    else if (d > 0)
      link = &parent->rb_right;
    else
      return replace_value(s, value, vlen);
  }
  struct qel_config_node* s = malloc(sizeof *s + klen + 1 + vlen + 1);
  if (s == NULL) return -ENOMEM;
  s->key = (char*)(s + 1);
  memcpy(s->key, key, klen + 1);
  s->value = s->key + klen + 1;
  memcpy(s->value, value, vlen + 1);
  s->value_expanded = s->value; /* no expansion: see README.md */
  s->prev = NULL;
  s->rb.rb_parent = (uint64_t)(uintptr_t)parent | RB_RED;
  s->rb.rb_left = NULL;
  s->rb.rb_right = NULL;
  *link = &s->rb;
  rb_insert_fixup(&cfg->root, &s->rb);
  return 0;
}

static struct qel_config_node* find_setting(const struct qel_config* cfg, const char* key) {
  struct rb_node* n = cfg->root.rb_node;
  while (n != NULL) {
    struct qel_config_node* s = setting_of(n);
    int d = strcmp(key, s->key);
    if (d == 0) return s;
    n = d < 0 ? n->rb_left : n->rb_right;
  }
  return NULL;
}

/* ---- files ---- */

static int is_blank(char c) { return c == ' ' || c == '\t'; }

/* One line of len bytes, its line end already cut off; line[len] may be
 * overwritten. Lines that hold no setting are skipped rather than failing the
 * file, so that one stray line cannot hide every other setting. */
static int parse_line(struct qel_config* cfg, char* line, size_t len) {
  if (memchr(line, '\0', len) != NULL) return 0;
  size_t key = 0;
  while (key < len && is_blank(line[key])) key++;
  if (key == len || line[key] == '#') return 0;
  const char* eq = memchr(line + key, '=', len - key);
  if (eq == NULL) return 0;
  size_t key_end = (size_t)(eq - line);
  size_t value = key_end + 1;
  while (key_end > key && is_blank(line[key_end - 1])) key_end--;
  if (key_end == key) return 0;
  while (value < len && is_blank(line[value])) value++;
  size_t value_end = len;
  while (value_end > value && is_blank(line[value_end - 1])) value_end--;
  line[key_end] = '\0';
  line[value_end] = '\0';
  return put_setting(cfg, line + key, key_end - key, line + value, value_end - value);
}

/* data holds size bytes and one spare byte after them. A line ends at "\n"
 * or at the end of the file; a "\r" right before its end belongs to the end. */
static int parse_settings(struct qel_config* cfg, char* data, size_t size) {
  size_t start = 0;
  while (start < size) {
    const char* nl = memchr(data + start, '\n', size - start);
    size_t end = nl != NULL ? (size_t)(nl - data) : size;
    size_t next = nl != NULL ? end + 1 : size;
    if (end > start && data[end - 1] == '\r') end--;
    int r = parse_line(cfg, data + start, end - start);
    if (r != 0) return r;
    start = next;
  }
  return 0;
}

/* Reads the whole file in one buffer with a spare byte at its end. */
static int read_file(const char* path, char** data, size_t* size) {
  int fd;
  do fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return -errno;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    close(fd);
    return -e;
  }
  if (S_ISDIR(st.st_mode)) {
    close(fd);
    return -EISDIR;
  }
  if (st.st_size < 0 || (uint64_t)st.st_size >= MAX_BUFFER) {
    close(fd);
    return -EFBIG;
  }
  /* Room for the file, the spare byte and the read that sees the end. */
  size_t cap = S_ISREG(st.st_mode) ? (size_t)st.st_size + 2 : 4096;
  char* buf = malloc(cap);
  size_t len = 0;
  int r = buf == NULL ? -ENOMEM : 0;
  while (r == 0) {
    if (cap - len < 2) { /* the file grew, or is no regular file */
      if (cap > MAX_BUFFER / 2) {
        r = -EFBIG;
        break;
      }
      char* grown = realloc(buf, cap * 2);
      if (grown == NULL) {
        r = -ENOMEM;
        break;
      }
      buf = grown;
      cap *= 2;
    }
    ssize_t n = read(fd, buf + len, cap - len - 1);
    if (n < 0) {
      if (errno != EINTR) r = -errno;
      continue;
    }
    if (n == 0) break;
    len += (size_t)n;
  }
  close(fd);
  if (r != 0) {
    free(buf);
    return r;
  }
  *data = buf;
  *size = len;
  return 0;
}

/* ---- the library's interface ---- */

QEL_EXPORT struct qel_config* qel_create_config(void) { return calloc(1, sizeof(struct qel_config)); }

QEL_EXPORT int32_t qel_merge_config(struct qel_config* cfg, const char* path) {
  if (cfg == NULL || path == NULL) return -EINVAL;
  char* data = NULL;
  size_t size = 0;
  int r = read_file(path, &data, &size);
  if (r != 0) return r;
  r = parse_settings(cfg, data, size);
  free(data);
  return r;
}

QEL_EXPORT int32_t qel_config_getstr_expand(struct qel_config* cfg, const char* key, char** out) {
  if (cfg == NULL || key == NULL || out == NULL) return -EINVAL;
  struct qel_config_node* s = find_setting(cfg, key);
  if (s == NULL) return -ENOENT;
  *out = s->value_expanded;
  return 0;
}

QEL_EXPORT struct qel_config_node* qel_config_get_first(struct qel_config* cfg) {
  if (cfg == NULL) return NULL;
  struct rb_node* n = rb_leftmost(cfg->root.rb_node);
  return n != NULL ? setting_of(n) : NULL;
}

QEL_EXPORT struct qel_config_node* qel_config_get_next(struct qel_config_node* node) {
  if (node == NULL) return NULL;
  struct rb_node* n = &node->rb;
  if (n->rb_right != NULL) return setting_of(rb_leftmost(n->rb_right));
  struct rb_node* parent = rb_parent_of(n);
  while (parent != NULL && n == parent->rb_right) {
    n = parent;
    parent = rb_parent_of(n);
  }
  return parent != NULL ? setting_of(parent) : NULL;
}

QEL_EXPORT void qel_free_config(struct qel_config* cfg) {
  if (cfg == NULL) return;
  /* Post-order without a stack: free leaves, unlinking each from its parent. */
  struct rb_node* n = cfg->root.rb_node;
  while (n != NULL) {
    if (n->rb_left != NULL) {
      n = n->rb_left;
    } else if (n->rb_right != NULL) {
      n = n->rb_right;
    } else {
      struct rb_node* parent = rb_parent_of(n);
      if (parent != NULL) {
        if (parent->rb_left == n)
          parent->rb_left = NULL;
        else
          parent->rb_right = NULL;
      }
      free_setting(setting_of(n));
      n = parent;
    }
  }
  free(cfg);
}
