/* Stand-in for the platform's libqel_io.so.9: files of "key = value" lines.
 * The syntax, the error numbers and the (absent) expansion are described in
 * README.md.
 *
 * The settings are one array of nodes in the order of the files, and a hash
 * table of their keys answers lookups and finds repeated keys during a
 * merge. Nothing is sorted: most runs of the tool read two keys of a file
 * of millions of settings. Keys and values stay in the file's buffer, which
 * the configuration keeps. */
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

/* The most settings a configuration holds: their indices, with a tag of at
 * least one bit, fit the 32-bit slots of the hash table. */
#define MAX_SETTINGS ((size_t)1 << 30)

/* The walk goes in the order of the files, or with QEL_IO_REVERSE_WALK in
 * the reverse of it, so that callers can be tested against another order. */
#ifdef QEL_IO_REVERSE_WALK
#define WALK_STEP (-1)
#else
#define WALK_STEP 1
#endif

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

/* A file's buffer, which the texts of settings point into. */
struct block {
  struct block* next;
  max_align_t data[];
};

/* The configuration: the public record (its root stays empty), then the
 * library's own parts. */
struct config {
  struct qel_config pub; /* offset 0: what callers see */
  struct block* buffers;
  /* The settings in file order at [1, count]; [0] and [count + 1] are ends
   * with a NULL key, where the walk stops in either direction. Room for cap
   * settings. Nodes move when a merge needs more room. */
  struct qel_config_node* nodes;
  size_t count, cap;
  /* Open addressing with linear probing over 2^bits slots. A slot is 0 when
   * empty, else the setting's index in its low bits and bits of its key's
   * hash above them, which spares most probes a look at the key. */
  uint32_t* slots;
  unsigned bits;
};

static struct config* config_of(struct qel_config* cfg) { return (struct config*)(void*)cfg; }

/* ---- the hash table ---- */

static uint64_t hash_key(const char* key, size_t len) {
  uint64_t h = 0x9e3779b97f4a7c15u ^ len;
  uint64_t w;
  for (; len >= 8; key += 8, len -= 8) {
    memcpy(&w, key, 8);
    h = (h ^ w) * 0xbf58476d1ce4e5b9u;
    h ^= h >> 29;
  }
  w = 0;
  memcpy(&w, key, len);
  h = (h ^ w) * 0xbf58476d1ce4e5b9u;
  h ^= h >> 32;
  h *= 0x94d049bb133111ebu;
  h ^= h >> 29;
  return h;
}

/* The slot that holds key (with hash h), or the empty one it would take. The
 * table is never full. The slot's home is given by the top bits of h, its
 * tag by the low ones. */
static uint32_t* find_slot(const struct config* c, const char* key, uint64_t h) {
  const uint32_t mask = ((uint32_t)1 << c->bits) - 1;
  const uint32_t tag = (uint32_t)h << c->bits;
  for (uint32_t i = (uint32_t)(h >> (64 - c->bits));; i = (i + 1) & mask) {
    uint32_t* slot = &c->slots[i];
    if (*slot == 0) return slot;
    if ((*slot & ~mask) == tag && strcmp(c->nodes[*slot & mask].key, key) == 0) return slot;
  }
}

static uint32_t slot_value(const struct config* c, uint64_t h, size_t index) {
  return (uint32_t)h << c->bits | (uint32_t)index;
}

static size_t index_of(const struct config* c, uint32_t slot) {
  return slot & (((uint32_t)1 << c->bits) - 1);
}

/* Room for n settings in all, n <= MAX_SETTINGS: nodes, and a table at most
 * three quarters full. Changes nothing the walk or lookups see. */
static int reserve(struct config* c, size_t n) {
  if (n > c->cap) {
    struct qel_config_node* nodes = realloc(c->nodes, (n + 2) * sizeof *nodes);
    if (nodes == NULL) return -ENOMEM;
    if (c->nodes == NULL) memset(&nodes[0], 0, 2 * sizeof *nodes); /* both ends */
    c->nodes = nodes;
    c->cap = n;
  }
  unsigned bits = 4;
  while (((size_t)1 << bits) / 4 * 3 < n) bits++;
  if (bits <= c->bits) return 0;
  uint32_t* slots = calloc((size_t)1 << bits, sizeof *slots);
  if (slots == NULL) return -ENOMEM;
  free(c->slots);
  c->slots = slots;
  c->bits = bits;
  for (size_t i = 1; i <= c->count; i++) {
    uint64_t h = c->nodes[i].rb.rb_parent;
    *find_slot(c, c->nodes[i].key, h) = slot_value(c, h, i);
  }
  return 0;
}

/* How many settings ahead index_settings fetches the home slot of. */
#define INDEX_AHEAD 16

/* Takes the n settings that parse_settings put after the held ones into the
 * table. A key met again keeps its first place and takes the new value; the
 * settings after it move down. The table of a large file is larger than the
 * caches; the hashes of the next settings are at hand, and fetching their
 * slots early spares the merge much of the wait for them. */
static void index_settings(struct config* c, size_t n) {
  const size_t first = c->count + 1, end = first + n;
  for (size_t i = first; i < end; i++) {
    if (i + INDEX_AHEAD < end) {
      uint64_t ahead = c->nodes[i + INDEX_AHEAD].rb.rb_parent;
      __builtin_prefetch(&c->slots[ahead >> (64 - c->bits)]);
    }
    struct qel_config_node* node = &c->nodes[i];
    uint64_t h = node->rb.rb_parent;
    uint32_t* slot = find_slot(c, node->key, h);
    if (*slot != 0) {
      struct qel_config_node* held = &c->nodes[index_of(c, *slot)];
      held->value = node->value;
      held->value_expanded = node->value_expanded;
    } else {
      size_t at = ++c->count;
      if (at != i) c->nodes[at] = *node;
      *slot = slot_value(c, h, at);
    }
  }
}

/* ---- files ---- */

static int is_blank(char c) { return c == ' ' || c == '\t'; }

/* The most settings size bytes at data can hold, one a line. Sizes the
 * nodes and the table at once; the nodes of lines without a setting are
 * never touched, and given back after the merge. */
static size_t most_settings(const char* data, size_t size) {
  if (size == 0) return 0;
  size_t lines = 1;
  for (const char* p = data; (p = memchr(p, '\n', size - (size_t)(p - data))) != NULL; p++) lines++;
  return lines;
}

/* One line of len bytes, its line end already cut off; line[len] may be
 * overwritten. Lines that hold no setting are skipped rather than failing the
 * file, so that one stray line cannot hide every other setting. nul_free:
 * the file holds no NUL byte, so the line need not be searched for one. */
static int parse_line(struct qel_config_node* node, char* line, size_t len, int nul_free) {
  if (!nul_free && memchr(line, '\0', len) != NULL) return 0;
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
  memset(node, 0, sizeof *node);
  node->rb.rb_parent = hash_key(line + key, key_end - key);
  node->key = line + key;
  node->value = line + value;
  node->value_expanded = line + value; /* no expansion: see README.md */
  return 1;
}

/* Puts every setting line of the size bytes at data, which one spare byte
 * follows, into nodes, in file order: n of them. A line ends at "\n" or at
 * the end of the file; a "\r" right before its end belongs to the end. */
static size_t parse_settings(struct qel_config_node* nodes, char* data, size_t size) {
  const int nul_free = memchr(data, '\0', size) == NULL;
  size_t n = 0;
  size_t start = 0;
  while (start < size) {
    const char* nl = memchr(data + start, '\n', size - start);
    size_t end = nl != NULL ? (size_t)(nl - data) : size;
    size_t next = nl != NULL ? end + 1 : size;
    if (end > start && data[end - 1] == '\r') end--;
    n += parse_line(&nodes[n], data + start, end - start, nul_free);
    start = next;
  }
  return n;
}

/* Reads the whole regular file at path into a block, its data followed by
 * a spare byte. Nothing else is read, nor waited for: opening does not block
 * (O_NONBLOCK) and FIFOs, sockets and devices are refused before any read. */
static int read_file(const char* path, struct block** block, size_t* size) {
  int fd;
  do fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return -errno;
  struct stat st;
  int r = fstat(fd, &st) != 0 ? -errno : 0;
  if (r == 0 && S_ISDIR(st.st_mode))
    r = -EISDIR;
  else if (r == 0 && !S_ISREG(st.st_mode))
    r = -ENXIO; /* a FIFO, socket or device: it could wait, or never end */
  else if (r == 0 && (st.st_size < 0 || (uint64_t)st.st_size >= MAX_BUFFER))
    r = -EFBIG;
  if (r != 0) {
    close(fd);
    return r;
  }
  /* Room for the file, the spare byte and the read that sees the end. */
  size_t cap = (size_t)st.st_size + 2;
  struct block* buf = malloc(sizeof(struct block) + cap);
  size_t len = 0;
  r = buf == NULL ? -ENOMEM : 0;
  while (r == 0) {
    if (cap - len < 2) { /* the file grew since fstat */
      if (cap > MAX_BUFFER / 2) {
        r = -EFBIG;
        break;
      }
      struct block* grown = realloc(buf, sizeof(struct block) + cap * 2);
      if (grown == NULL) {
        r = -ENOMEM;
        break;
      }
      buf = grown;
      cap *= 2;
    }
    ssize_t n = read(fd, (char*)buf->data + len, cap - len - 1);
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
  *block = buf;
  *size = len;
  return 0;
}

/* ---- the library's interface ---- */

QEL_EXPORT struct qel_config* qel_create_config(void) {
  struct config* c = calloc(1, sizeof *c);
  return c != NULL ? &c->pub : NULL;
}

QEL_EXPORT int32_t qel_merge_config(struct qel_config* cfg, const char* path) {
  if (cfg == NULL || path == NULL) return -EINVAL;
  struct config* c = config_of(cfg);
  struct block* buf = NULL;
  size_t size = 0;
  int r = read_file(path, &buf, &size);
  if (r != 0) return r;
  char* data = (char*)buf->data;
  size_t most = most_settings(data, size);
  if (most == 0) { /* nothing to add: the texts are not needed */
    free(buf);
    return 0;
  }
  r = most > MAX_SETTINGS - c->count ? -EFBIG : reserve(c, c->count + most);
  if (r != 0) {
    free(buf);
    return r;
  }
  /* From here on nothing can fail. */
  size_t n = parse_settings(&c->nodes[c->count + 1], data, size);
  if (n == 0) {
    free(buf);
  } else { /* the settings point into the buffer: the configuration keeps it */
    buf->next = c->buffers;
    c->buffers = buf;
  }
  index_settings(c, n);
  memset(&c->nodes[c->count + 1], 0, sizeof c->nodes[0]);
  /* Give back room that lines without a setting held, when it is much. */
  if (c->cap - c->count > c->count / 8 + 64) {
    struct qel_config_node* nodes = realloc(c->nodes, (c->count + 2) * sizeof *nodes);
    if (nodes != NULL) {
      c->nodes = nodes;
      c->cap = c->count;
    }
  }
  return 0;
}

QEL_EXPORT int32_t qel_config_getstr_expand(struct qel_config* cfg, const char* key, char** out) {
  if (cfg == NULL || key == NULL || out == NULL) return -EINVAL;
  struct config* c = config_of(cfg);
  if (c->count == 0) return -ENOENT;
  uint32_t slot = *find_slot(c, key, hash_key(key, strlen(key)));
  if (slot == 0) return -ENOENT;
  *out = c->nodes[index_of(c, slot)].value_expanded;
  return 0;
}

QEL_EXPORT struct qel_config_node* qel_config_get_first(struct qel_config* cfg) {
  if (cfg == NULL) return NULL;
  struct config* c = config_of(cfg);
  if (c->count == 0) return NULL;
  return WALK_STEP > 0 ? &c->nodes[1] : &c->nodes[c->count];
}

QEL_EXPORT struct qel_config_node* qel_config_get_next(struct qel_config_node* node) {
  if (node == NULL) return NULL;
  struct qel_config_node* next = node + WALK_STEP;
  return next->key != NULL ? next : NULL;
}

QEL_EXPORT void qel_free_config(struct qel_config* cfg) {
  if (cfg == NULL) return;
  struct config* c = config_of(cfg);
  for (struct block* b = c->buffers; b != NULL;) {
    struct block* next = b->next;
    free(b);
    b = next;
  }
  free(c->nodes);
  free(c->slots);
  free(c);
}
