// Long-data buffers in unnamed temporary files (O_TMPFILE, or a file that is
// unlinked as soon as it is made), so no other user can open or replace
// them. Every buffer reads and writes at its own offsets (pread/pwrite):
// clones share the file but never its offset.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sql.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ky_longbuf.h"
#include "ky_string.h"

namespace {

constexpr SQLLEN kNts = -3;
constexpr int32_t kLongBinary = -4;

std::string temp_dir(ConfigHandle* config) {
  char dir[KY_LONG_NAME_SIZE] = "";
  if (config) get_default(config, "blob_path", dir, sizeof dir);
  if (dir[0] != '\0') return dir;
  const char* env = std::getenv("TMPDIR");
  return (env && *env) ? env : "/tmp";
}

int make_unnamed_file(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // File systems without O_TMPFILE: a private file, unlinked at once.
  std::string path = dir + "/kyblobXXXXXX";
  fd = ::mkostemp(path.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  ::unlink(path.c_str());
  return fd;
}

void close_file(void* p) {
  auto* b = static_cast<long_buffer*>(p);
  if (b->fd >= 0) ::close(b->fd);
  b->fd = -1;
}

long_buffer* new_buffer(mem_handle* pool) {
  auto* b = static_cast<long_buffer*>(ky_mem_alloc_ex(pool, sizeof(long_buffer), close_file));
  if (!b) return nullptr;
  std::memset(b, 0, sizeof *b);
  b->pool = pool;
  b->fd = -1;
  b->max_length = KY_LONG_BUFFER_MAX_DEFAULT;
  return b;
}

// Reads exactly count bytes at offset; false on an error or a short file.
bool read_at(int fd, void* out, int64_t count, int64_t offset) {
  auto* p = static_cast<char*>(out);
  while (count > 0) {
    const ssize_t n = ::pread(fd, p, static_cast<size_t>(count), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= n;
    offset += n;
  }
  return true;
}

bool write_at(int fd, const void* data, int64_t count, int64_t offset) {
  const auto* p = static_cast<const char*>(data);
  while (count > 0) {
    const ssize_t n = ::pwrite(fd, p, static_cast<size_t>(count), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    count -= n;
    offset += n;
  }
  return true;
}

// One step of piecewise reading, shared by the narrow and wide forms. The
// bytes read go to `bytes`; the caller writes them out with a terminator
// when `terminate` is set.
struct Piece {
  int rc = 0;
  bool has_bytes = false;  // bytes (possibly none) are to be written out
  std::vector<char> bytes;
};

Piece next_piece(long_buffer* b, SQLLEN capacity, SQLLEN* len_out, bool binary) {
  Piece p;
  auto report = [&](SQLLEN v) {
    if (len_out) *len_out = v;
  };
  if (b->is_null) {
    if (b->position == 0) {
      report(SQL_NULL_DATA);
      if (capacity > 0) b->position = 1;
      return p;
    }
    report(0);
    p.rc = SQL_NO_DATA;
    return p;
  }
  const int64_t remaining = b->length - b->position;
  if (remaining <= 0) {
    // An empty value is handed out once, as an empty piece.
    if (b->length == 0 && b->position == 0 && !b->finished) {
      report(0);
      if (capacity > 0) {
        b->finished = 1;
        p.has_bytes = true;
      }
      return p;
    }
    report(0);
    p.rc = SQL_NO_DATA;
    return p;
  }
  report(remaining);
  if (capacity <= 0) return p;
  const int64_t room = binary ? capacity : capacity - 1;  // bytes that fit
  const int64_t take = remaining <= room ? remaining : room;
  p.bytes.resize(static_cast<size_t>(take));
  if (take > 0 && !read_at(b->fd, p.bytes.data(), take, b->position)) {
    p.rc = -1;
    return p;
  }
  b->position += take;
  if (take == remaining) {
    b->finished = 1;
  } else {
    p.rc = 1;
  }
  p.has_bytes = true;
  return p;
}

}  // namespace

extern "C" {

KY_API int open_buffer(ConfigHandle* config, char* name_out) {
  const std::string dir = temp_dir(config);
  if (name_out) copy_str_buffer(name_out, KY_LONG_NAME_SIZE, nullptr, dir.c_str());
  return make_unnamed_file(dir);
}

KY_API long_buffer* allocate_long_buffer(mem_handle* pool, intptr_t word1, intptr_t word2, ConfigHandle* config,
                                         int32_t sql_type) {
  long_buffer* b = new_buffer(pool);
  if (!b) return nullptr;
  b->words[0] = word1;
  b->words[1] = word2;
  b->config = config;
  b->sql_type = sql_type;
  b->fd = open_buffer(config, b->file_name);
  if (b->fd < 0) {
    ky_mem_free(pool, b);
    return nullptr;
  }
  return b;
}

KY_API long_buffer* clone_long_buffer(long_buffer* buf, mem_handle* pool) {
  if (!buf || !pool) return nullptr;
  if (buf->pool == pool) return static_cast<long_buffer*>(ky_mem_clone(pool, buf));
  long_buffer* c = new_buffer(pool);
  if (!c) return nullptr;
  c->fd = ::fcntl(buf->fd, F_DUPFD_CLOEXEC, 0);
  if (c->fd < 0) {
    ky_mem_free(pool, c);
    return nullptr;
  }
  std::memcpy(c->words, buf->words, sizeof c->words);
  std::memcpy(c->state, buf->state, sizeof c->state);
  std::memcpy(c->file_name, buf->file_name, sizeof c->file_name);
  c->position = buf->position;
  c->length = buf->length;
  c->is_null = buf->is_null;
  c->sql_type = buf->sql_type;
  c->config = buf->config;
  c->stmt_created = buf->stmt_created;
  c->stmt = buf->stmt;
  c->max_length = buf->max_length;
  c->finished = buf->finished;
  return c;
}

KY_API int append_to_long_buffer(long_buffer* buf, const void* data, SQLLEN count) {
  if (!buf) return -1;
  if (count == kNts) {
    if (buf->sql_type == kLongBinary || !data) return -1;
    count = static_cast<SQLLEN>(std::strlen(static_cast<const char*>(data)));
  }
  if (count < 0 || (count > 0 && !data)) return -1;
  if (count > buf->max_length - buf->length) return -1;
  // The length grows only by bytes that are really in the file.
  if (!write_at(buf->fd, data, count, buf->length)) return -1;
  buf->length += count;
  return 0;
}

KY_API int extract_from_long_buffer(long_buffer* buf, void* out, SQLLEN capacity, SQLLEN* len_out, int32_t binary) {
  if (!buf) return -1;
  if (!out) capacity = 0;
  Piece p = next_piece(buf, capacity, len_out, binary != 0);
  if (p.has_bytes) {
    auto* o = static_cast<char*>(out);
    if (!p.bytes.empty()) std::memcpy(o, p.bytes.data(), p.bytes.size());
    if (!binary) o[p.bytes.size()] = '\0';
  }
  return p.rc;
}

KY_API int extract_from_long_nbuffer(long_buffer* buf, SQLWCHAR* out, SQLLEN capacity, SQLLEN* len_out,
                                     int32_t binary) {
  if (!buf) return -1;
  if (!out) capacity = 0;
  Piece p = next_piece(buf, capacity, len_out, binary != 0);
  if (p.has_bytes) {
    size_t i = 0;
    for (char c : p.bytes) out[i++] = static_cast<SQLWCHAR>(static_cast<unsigned char>(c));
    if (!binary) out[i] = 0;
  }
  return p.rc;
}

KY_API int rewind_long_buffer(long_buffer* buf) {
  if (!buf) return -1;
  buf->position = 0;
  buf->finished = 0;
  return 0;
}

KY_API SQLLEN position_long_buffer(long_buffer* buf, SQLLEN offset) {
  if (!buf || offset < 0) return -1;
  buf->position = offset;
  buf->finished = 0;
  return offset;
}

KY_API SQLLEN long_buffer_length(long_buffer* buf) { return buf ? buf->length : 0; }

KY_API SQLLEN file_read(void* data, SQLLEN count, int fd) {
  if (count < 0 || (count > 0 && !data)) return -1;
  for (;;) {
    const ssize_t n = ::read(fd, data, static_cast<size_t>(count));
    if (n < 0 && errno == EINTR) continue;
    return n;
  }
}

KY_API SQLLEN file_write(const void* data, SQLLEN count, int fd) {
  if (count < 0 || (count > 0 && !data)) return -1;
  const auto* p = static_cast<const char*>(data);
  SQLLEN done = 0;
  while (done < count) {
    const ssize_t n = ::write(fd, p + done, static_cast<size_t>(count - done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += n;
  }
  return done;
}

KY_API int file_close(int fd) {
  if (fd >= 0) ::close(fd);
  return 0;
}

KY_API SQLLEN file_seek(int fd, SQLLEN offset) {
  const off_t r = ::lseek(fd, static_cast<off_t>(offset), SEEK_SET);
  return r < 0 ? -1 : static_cast<SQLLEN>(r);
}

}  // extern "C"
