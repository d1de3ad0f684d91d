/* Stand-in for the platform's libqel_io.so.9: files of "key = value" lines
 * kept in a red-black tree ordered by the bytes of the key. The syntax, the
 * error numbers and the (absent) expansion are described in README.md.
 *
 * rp configs run to hundreds of thousands of settings, so a file merged into
 * an empty configuration is built in bulk: its settings are sorted once and
 * linked into a balanced tree without rebalancing, their nodes side by side
 * in key order. Keys and values stay in the file's buffer, which the
 * configuration keeps. A merge into a configuration that holds settings
 * inserts them one at a time. */
#define _POSIX_C_SOURCE 200809L

#include "qel_io.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
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

/* A setting as the library keeps it: the public node, then its owner. */
struct setting {
  struct qel_config_node node; /* offset 0: what callers see */
  struct config* owner;
};

/* Memory the configuration owns: file buffers, whose texts the settings
 * point into, and settings. All of it is freed together. */
struct block {
  struct block* next;
  max_align_t data[];
};

/* The configuration: the public record, then the library's own parts. */
struct config {
  struct qel_config pub; /* offset 0: what callers see */
  struct block* blocks;
  /* The setting the walk met last. Callers look up the key they have just
   * walked to often enough that it is tried before the tree. */
  struct setting* last;
  size_t count;
  /* The settings built in bulk, side by side in key order. */
  struct setting* bulk;
  size_t bulk_count;
};

/* How far ahead in key order the walk fetches texts. Their order in the file
 * is not the walk's, and a caller that reads each key it meets would wait
 * for every one of them. */
#define WALK_AHEAD 8

static struct config* config_of(struct qel_config* cfg) { return (struct config*)(void*)cfg; }

static struct setting* setting_of(struct rb_node* n) {
  return (struct setting*)(void*)((char*)n - offsetof(struct setting, node.rb));
}

/* size bytes in a new block of the configuration, or NULL. */
static void* config_alloc(struct config* c, size_t size) {
  if (size > SIZE_MAX - sizeof(struct block)) return NULL;
  struct block* b = malloc(sizeof(struct block) + size);
  if (b == NULL) return NULL;
  b->next = c->blocks;
  c->blocks = b;
  return b->data;
}

static struct setting* find_setting(struct config* c, const char* key) {
  if (c->last != NULL && strcmp(c->last->node.key, key) == 0) return c->last;
  struct rb_node* n = c->pub.root.rb_node;
  while (n != NULL) {
    struct setting* s = setting_of(n);
    int d = strcmp(key, s->node.key);
    if (d == 0) return s;
    n = d < 0 ? n->rb_left : n->rb_right;
  }
  return NULL;
}

static void init_setting(struct setting* s, struct config* c, char* key, char* value) {
  s->node.key = key;
  s->node.value = value;
  s->node.value_expanded = value; /* no expansion: see README.md */
  s->node.prev = NULL;
  s->owner = c;
}

/* key and value are NUL-terminated texts in a buffer the configuration
 * keeps. The last value given for a key wins. */
static int put_setting(struct config* c, char* key, char* value) {
  struct rb_node** link = &c->pub.root.rb_node;
  struct rb_node* parent = NULL;
  while (*link != NULL) {
    parent = *link;
    struct setting* s = setting_of(parent);
    int d = strcmp(key, s->node.key);
    if (d == 0) {
      s->node.value = value;
      s->node.value_expanded = value;
      return 0;
    }
    link = d < 0 ? &parent->rb_left : &parent->rb_right;
  }
  struct setting* s = config_alloc(c, sizeof *s);
  if (s == NULL) return -ENOMEM;
  init_setting(s, c, key, value);
  s->node.rb.rb_parent = (uint64_t)(uintptr_t)parent | RB_RED;
  s->node.rb.rb_left = NULL;
  s->node.rb.rb_right = NULL;
  *link = &s->node.rb;
  rb_insert_fixup(&c->pub.root, &s->node.rb);
  c->count++;
  return 0;
}

/* ---- bulk build ---- */

/* A setting line of the file being merged, in the place its setting will
 * take. Most keys of a file share a long prefix (rp.upstreams[...); w holds
 * the 40 key bytes after it, big-endian and zero-padded, so that most
 * comparisons of the sort need not reach the texts, which lie all over the
 * buffer. A key without that prefix is an outlier and is compared in full.
 * key and value sit where the setting's node keeps them. */
struct entry {
  uint64_t w0, w1, w2;
  char* key;
  char* value;
  uint32_t klen;
  uint32_t outlier;
  uint64_t w3, w4;
};

union slot {
  struct entry e;
  struct setting s;
};

_Static_assert(sizeof(struct entry) == sizeof(struct setting), "an entry fills its setting's place");
_Static_assert(offsetof(struct entry, key) == offsetof(struct setting, node.key), "key in place");
_Static_assert(offsetof(struct entry, value) == offsetof(struct setting, node.value), "value in place");

struct entries {
  struct block* block; /* holds the slots */
  union slot* v;
  size_t n, cap;
  int spilled; /* out of memory for the list: settings go straight in */
  /* The common prefix: ref's first skip bytes. Chosen from the first lines,
   * so that the words are loaded while each line is at hand. */
  const char* ref;
  size_t skip;
  int skip_known;
};

#define SKIP_SAMPLE 1024

/* The 8 bytes at s, of which avail exist, as a big-endian number. */
static uint64_t load_be(const char* s, size_t avail) {
  uint64_t w = 0;
  if (avail >= 8) {
    memcpy(&w, s, 8);
    return __builtin_bswap64(w);
  }
  for (size_t i = 0; i < 8; i++) w = w << 8 | (i < avail ? (unsigned char)s[i] : 0);
  return w;
}

static void choose_skip(struct entries* es, const union slot* v, size_t n);
static void fill_words(const struct entries* es, struct entry* e);

static int grow_entries(struct entries* es, size_t cap) {
  if (cap > (SIZE_MAX - sizeof(struct block)) / sizeof(union slot)) return -ENOMEM;
  struct block* b = realloc(es->block, sizeof(struct block) + cap * sizeof(union slot));
  if (b == NULL) return -ENOMEM;
  es->block = b;
  es->v = (union slot*)(void*)b->data;
  es->cap = cap;
  return 0;
}

/* Takes one setting of the file: into the list, or, once the list cannot
 * grow, into the configuration with every setting listed before it. */
static int add_setting(struct config* c, struct entries* es, char* key, size_t klen, char* value) {
  if (es == NULL || es->spilled) return put_setting(c, key, value);
  if (es->n == es->cap && klen <= UINT32_MAX) grow_entries(es, es->cap != 0 ? es->cap * 2 : 1024);
  if (es->n == es->cap || klen > UINT32_MAX) {
    es->spilled = 1;
    for (size_t i = 0; i < es->n; i++) {
      int r = put_setting(c, es->v[i].e.key, es->v[i].e.value);
      if (r != 0) return r;
    }
    return put_setting(c, key, value);
  }
  struct entry* e = &es->v[es->n++].e;
  e->key = key;
  e->value = value;
  e->klen = (uint32_t)klen;
  if (es->skip_known) {
    fill_words(es, e);
  } else if (es->n == SKIP_SAMPLE) {
    choose_skip(es, es->v, es->n);
    for (size_t i = 0; i < es->n; i++) fill_words(es, &es->v[i].e);
  }
  return 0;
}

static int words_cmp(uint64_t a, uint64_t b) { return a < b ? -1 : a > b; }

/* Orders by key, and equal keys by their place in the file. seen: the
 * skipped prefix and the cached bytes, where the texts of two keys that are
 * no outliers need to be compared from. */
static int entry_cmp(const struct entry* a, const struct entry* b, size_t seen) {
  if (a->outlier | b->outlier) {
    int d = strcmp(a->key, b->key);
    if (d != 0) return d;
  } else {
    int d = a->w0 != b->w0   ? words_cmp(a->w0, b->w0)
            : a->w1 != b->w1 ? words_cmp(a->w1, b->w1)
            : a->w2 != b->w2 ? words_cmp(a->w2, b->w2)
            : a->w3 != b->w3 ? words_cmp(a->w3, b->w3)
                             : words_cmp(a->w4, b->w4);
    if (d != 0) return d;
    /* Equal words and a key that ends before their last byte: the other
     * has a NUL byte there too, which no key holds, so the keys are equal. */
    if (a->klen >= seen && b->klen >= seen) {
      d = strcmp(a->key + seen, b->key + seen);
      if (d != 0) return d;
    }
  }
  return a->key < b->key ? -1 : a->key > b->key;
}

static size_t shared_prefix(const char* a, const char* b, size_t max) {
  size_t l = 0;
  while (max - l >= 8) {
    uint64_t x, y;
    memcpy(&x, a + l, 8);
    memcpy(&y, b + l, 8);
    if (x != y) break;
    l += 8;
  }
  while (l < max && a[l] == b[l]) l++;
  return l;
}

/* Picks the prefix to skip: the longest that the middle one of v[0, n)
 * shares with at least 99 in 100 of them. */
static void choose_skip(struct entries* es, const union slot* v, size_t n) {
  const struct entry* ref = &v[n / 2].e;
  size_t hist[65] = {0};
  for (size_t i = 0; i < n; i++) {
    size_t max = v[i].e.klen < ref->klen ? v[i].e.klen : ref->klen;
    hist[shared_prefix(v[i].e.key, ref->key, max > 64 ? 64 : max)]++;
  }
  size_t skip = 64, atLeast = hist[64];
  while (skip > 0 && atLeast < n - n / 100) atLeast += hist[--skip];
  es->ref = ref->key;
  es->skip = skip;
  es->skip_known = 1;
}

/* Marks a key without the common prefix as an outlier and caches the 40
 * key bytes after the prefix (from the start for an outlier). */
static void fill_words(const struct entries* es, struct entry* e) {
  size_t skip = es->skip;
  e->outlier = e->klen < skip || shared_prefix(e->key, es->ref, skip) < skip;
  size_t from = e->outlier ? 0 : skip;
  size_t avail = e->klen - from;
  const char* k = e->key + from;
  e->w0 = load_be(k, avail);
  e->w1 = load_be(k + 8, avail > 8 ? avail - 8 : 0);
  e->w2 = load_be(k + 16, avail > 16 ? avail - 16 : 0);
  e->w3 = load_be(k + 24, avail > 24 ? avail - 24 : 0);
  e->w4 = load_be(k + 32, avail > 32 ? avail - 32 : 0);
}

/* Gives every entry its words. The prefix chosen from the first lines may
 * not suit the rest; with too many outliers it is chosen again from all. */
static void prepare_entries(struct entries* es) {
  size_t outliers = 0;
  if (es->skip_known) {
    for (size_t i = 0; i < es->n; i++) outliers += es->v[i].e.outlier;
    if (outliers <= es->n / 20) return;
  }
  choose_skip(es, es->v, es->n);
  for (size_t i = 0; i < es->n; i++) fill_words(es, &es->v[i].e);
}

static void entry_swap(union slot* a, union slot* b) {
  struct entry t = a->e;
  a->e = b->e;
  b->e = t;
}

static void sift_down(union slot* v, size_t i, size_t n, size_t seen) {
  for (;;) {
    size_t c = 2 * i + 1;
    if (c >= n) return;
    if (c + 1 < n && entry_cmp(&v[c].e, &v[c + 1].e, seen) < 0) c++;
    if (entry_cmp(&v[i].e, &v[c].e, seen) >= 0) return;
    entry_swap(&v[i], &v[c]);
    i = c;
  }
}

/* Introsort: quicksort with a median of three, heapsort when it goes too
 * deep, insertion sort for short runs. The entries are all distinct. */
static void sort_entries(union slot* v, size_t n, int depth, size_t seen) {
  while (n > 16) {
    if (depth-- == 0) {
      for (size_t i = n / 2; i-- > 0;) sift_down(v, i, n, seen);
      for (size_t i = n; i-- > 1;) {
        entry_swap(&v[0], &v[i]);
        sift_down(v, 0, i, seen);
      }
      return;
    }
    size_t mid = n / 2;
    if (entry_cmp(&v[mid].e, &v[0].e, seen) < 0) entry_swap(&v[mid], &v[0]);
    if (entry_cmp(&v[n - 1].e, &v[0].e, seen) < 0) entry_swap(&v[n - 1], &v[0]);
    if (entry_cmp(&v[n - 1].e, &v[mid].e, seen) < 0) entry_swap(&v[n - 1], &v[mid]);
    entry_swap(&v[mid], &v[n - 2]); /* the pivot; v[0] and v[n - 1] bound the scans */
    const struct entry* pivot = &v[n - 2].e;
    size_t i = 0, j = n - 2;
    for (;;) {
      while (entry_cmp(&v[++i].e, pivot, seen) < 0) {
      }
      while (entry_cmp(pivot, &v[--j].e, seen) < 0) {
      }
      if (i >= j) break;
      entry_swap(&v[i], &v[j]);
    }
    entry_swap(&v[i], &v[n - 2]);
    /* Recurse into the smaller side, go on with the larger. */
    if (i < n - i - 1) {
      sort_entries(v, i, depth, seen);
      v += i + 1;
      n -= i + 1;
    } else {
      sort_entries(v + i + 1, n - i - 1, depth, seen);
      n = i;
    }
  }
  for (size_t i = 1; i < n; i++) {
    struct entry t = v[i].e;
    size_t j = i;
    for (; j > 0 && entry_cmp(&t, &v[j - 1].e, seen) < 0; j--) v[j].e = v[j - 1].e;
    v[j].e = t;
  }
}

static int same_key(const struct entry* a, const struct entry* b) {
  return a->klen == b->klen && memcmp(a->key, b->key, a->klen) == 0;
}

/* Links the settings v[lo, hi), in key order, below parent as a tree of
 * minimal height: every path from the root to an empty link passes either
 * floor or ceil of log2(n + 1) nodes. The nodes of the deepest level of an
 * incomplete tree are red, all others black, so that every path holds the
 * same number of black nodes and no red node has a red child. */
static struct rb_node* build_tree(union slot* v, size_t lo, size_t hi, struct rb_node* parent, unsigned depth,
                                  unsigned red_depth) {
  if (lo >= hi) return NULL;
  size_t mid = lo + (hi - lo) / 2;
  struct rb_node* n = &v[mid].s.node.rb;
  n->rb_parent = (uint64_t)(uintptr_t)parent | (depth == red_depth ? RB_RED : RB_BLACK);
  n->rb_left = build_tree(v, lo, mid, n, depth + 1, red_depth);
  n->rb_right = build_tree(v, mid + 1, hi, n, depth + 1, red_depth);
  return n;
}

/* Puts the listed settings into the empty configuration at once: sorted in
 * place, the entries become its settings. */
static void build_bulk(struct config* c, struct entries* es) {
  union slot* v = es->v;
  size_t n = es->n;
  if (n == 0) return;
  prepare_entries(es);
  int depth = 2;
  for (size_t m = n; m > 1; m >>= 1) depth += 2;
  sort_entries(v, n, depth, es->skip + 40);

  /* Of each run of equal keys the last line wins. */
  size_t kept = 0;
  for (size_t i = 0; i < n; i++)
    if (i + 1 == n || !same_key(&v[i].e, &v[i + 1].e)) v[kept++] = v[i];
  for (size_t i = 0; i < kept; i++) {
    char* key = v[i].e.key;
    char* value = v[i].e.value;
    init_setting(&v[i].s, c, key, value);
  }
  /* Empty links lie at depth floor(log2(kept + 1)) or one deeper; the nodes
   * of that one deeper level, if any, are the red ones. */
  unsigned full = 0;
  while (((size_t)2 << full) - 1 <= kept) full++;
  unsigned red_depth = ((size_t)1 << full) - 1 == kept ? UINT_MAX : full;
  c->pub.root.rb_node = build_tree(v, 0, kept, NULL, 0, red_depth);
  c->bulk = &v[0].s;
  c->bulk_count = kept;
  c->count = kept;
  /* The configuration keeps the settings' block. */
  es->block->next = c->blocks;
  c->blocks = es->block;
  es->block = NULL;
}

/* ---- files ---- */

static int is_blank(char c) { return c == ' ' || c == '\t'; }

/* One line of len bytes, its line end already cut off; line[len] may be
 * overwritten. Lines that hold no setting are skipped rather than failing the
 * file, so that one stray line cannot hide every other setting. The setting
 * goes into es when given, else straight into the configuration. nul_free:
 * the file holds no NUL byte, so the line need not be searched for one. */
static int parse_line(struct config* c, struct entries* es, char* line, size_t len, int nul_free) {
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
  return add_setting(c, es, line + key, key_end - key, line + value);
}

/* data holds size bytes and one spare byte after them. A line ends at "\n"
 * or at the end of the file; a "\r" right before its end belongs to the end. */
static int parse_settings(struct config* c, struct entries* es, char* data, size_t size) {
  const int nul_free = memchr(data, '\0', size) == NULL;
  size_t start = 0;
  while (start < size) {
    const char* nl = memchr(data + start, '\n', size - start);
    size_t end = nl != NULL ? (size_t)(nl - data) : size;
    size_t next = nl != NULL ? end + 1 : size;
    if (end > start && data[end - 1] == '\r') end--;
    int r = parse_line(c, es, data + start, end - start, nul_free);
    if (r != 0) return r;
    start = next;
  }
  return 0;
}

/* Reads the whole file into a block, its data followed by a spare byte. */
static int read_file(const char* path, struct block** block, size_t* size) {
  int fd;
  /* Non-blocking: a FIFO must not make the open wait for a writer. */
  do fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) return -errno;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int e = errno;
    close(fd);
    return -e;
  }
  /* Only regular files are read: a FIFO or a device such as /dev/zero
   * could make the read wait, or never end. */
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return S_ISDIR(st.st_mode) ? -EISDIR : -ENXIO;
  }
  if (st.st_size < 0 || (uint64_t)st.st_size >= MAX_BUFFER) {
    close(fd);
    return -EFBIG;
  }
  /* Room for the file, the spare byte and the read that sees the end. */
  size_t cap = S_ISREG(st.st_mode) ? (size_t)st.st_size + 2 : 4096;
  struct block* buf = malloc(sizeof(struct block) + cap);
  size_t len = 0;
  int r = buf == NULL ? -ENOMEM : 0;
  while (r == 0) {
    if (cap - len < 2) { /* the file grew, or is no regular file */
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
  /* The settings point into the buffer: the configuration keeps it. */
  buf->next = c->blocks;
  c->blocks = buf;
  char* data = (char*)buf->data;
  if (c->count == 0) {
    /* Room for lines of 64 bytes on average from the start: most files need
     * no second allocation then. */
    struct entries es = {NULL, NULL, 0, 0, 0, NULL, 0, 0};
    grow_entries(&es, size / 64 + 1024);
    r = parse_settings(c, &es, data, size);
    if (r == 0 && !es.spilled) build_bulk(c, &es);
    free(es.block);
  } else {
    r = parse_settings(c, NULL, data, size);
  }
  return r;
}

QEL_EXPORT int32_t qel_config_getstr_expand(struct qel_config* cfg, const char* key, char** out) {
  if (cfg == NULL || key == NULL || out == NULL) return -EINVAL;
  struct setting* s = find_setting(config_of(cfg), key);
  if (s == NULL) return -ENOENT;
  *out = s->node.value_expanded;
  return 0;
}

QEL_EXPORT struct qel_config_node* qel_config_get_first(struct qel_config* cfg) {
  if (cfg == NULL) return NULL;
  struct rb_node* n = rb_leftmost(cfg->root.rb_node);
  if (n == NULL) return NULL;
  struct setting* s = setting_of(n);
  config_of(cfg)->last = s;
  return &s->node;
}

QEL_EXPORT struct qel_config_node* qel_config_get_next(struct qel_config_node* node) {
  if (node == NULL) return NULL;
  struct rb_node* n = &node->rb;
  if (n->rb_right != NULL) {
    n = rb_leftmost(n->rb_right);
  } else {
    struct rb_node* parent = rb_parent_of(n);
    while (parent != NULL && n == parent->rb_right) {
      n = parent;
      parent = rb_parent_of(n);
    }
    n = parent;
  }
  if (n == NULL) return NULL;
  struct setting* s = setting_of(n);
  struct config* c = s->owner;
  c->last = s;
  /* Within the bulk block the walk's next settings lie next in memory. */
  size_t at = ((uintptr_t)s - (uintptr_t)c->bulk) / sizeof *s;
  if (c->bulk != NULL && at + WALK_AHEAD < c->bulk_count) {
    const struct setting* ahead = &c->bulk[at + WALK_AHEAD];
    __builtin_prefetch(ahead->node.key);
    __builtin_prefetch(ahead->node.value);
  }
  return &s->node;
}

QEL_EXPORT void qel_free_config(struct qel_config* cfg) {
  if (cfg == NULL) return;
  struct config* c = config_of(cfg);
  for (struct block* b = c->blocks; b != NULL;) {
    struct block* next = b->next;
    free(b);
    b = next;
  }
  free(c);
}
