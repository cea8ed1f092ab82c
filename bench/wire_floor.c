/* The least a program can do that delivers one message to an address: the
 * four exchanges lomp makes there (NODE STATUS over UDP, the TCP connect,
 * the NetBIOS session request, SMB's send single block message), with no
 * configuration, no name cache, no threads and no checks beyond the
 * replies' lengths. What the benchmark measures lomp's own cost against.
 *
 *   wire_floor ADDRESS TEXT
 *
 * Exit code 0 when the receiver answered the message, 1 otherwise. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

/* A NetBIOS name in its first-level encoding: length, 32 letters, end. */
static size_t encode_name(unsigned char *out, const char *name, unsigned char pad,
                          unsigned char suffix) {
  unsigned char raw[16];
  memset(raw, pad, sizeof raw);
  size_t length = strlen(name);
  memcpy(raw, name, length > 15 ? 15 : length);
  raw[15] = suffix;
  out[0] = 32;
  for (int i = 0; i < 16; ++i) {
    out[1 + 2 * i] = (unsigned char)('A' + (raw[i] >> 4));
    out[2 + 2 * i] = (unsigned char)('A' + (raw[i] & 0x0F));
  }
  out[33] = 0;
  return 34;
}

static int read_all(int fd, unsigned char *buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t got = read(fd, buffer + done, length - done);
    if (got <= 0) return -1;
    done += (size_t)got;
  }
  return 0;
}

/* One NetBIOS session message: its type, and its body into `body` (at
 * least 1024 bytes); the body's length, or -1. */
static long read_message(int fd, unsigned char *type, unsigned char *body) {
  unsigned char header[4];
  if (read_all(fd, header, sizeof header) != 0) return -1;
  size_t length = (size_t)header[2] << 8 | header[3];
  if (length > 1024 || read_all(fd, body, length) != 0) return -1;
  *type = header[0];
  return (long)length;
}

int main(int argc, char *argv[]) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s ADDRESS TEXT\n", argv[0]);
    return 2;
  }
  struct sockaddr_in peer = {.sin_family = AF_INET};
  if (inet_pton(AF_INET, argv[1], &peer.sin_addr) != 1) return 2;

  /* NODE STATUS: asked, and the answer (or the refusal) awaited. */
  unsigned char query[50] = {0x12, 0x34, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0};
  encode_name(query + 12, "*", 0, 0);
  query[46] = 0;
  query[47] = 0x21;
  query[48] = 0;
  query[49] = 1;
  int udp = socket(AF_INET, SOCK_DGRAM, 0);
  peer.sin_port = htons(137);
  if (udp < 0 || connect(udp, (struct sockaddr *)&peer, sizeof peer) != 0) return 1;
  if (send(udp, query, sizeof query, 0) == (ssize_t)sizeof query) {
    struct pollfd wait = {.fd = udp, .events = POLLIN};
    if (poll(&wait, 1, 500) == 1) {
      unsigned char answer[600];
      (void)recv(udp, answer, sizeof answer, MSG_DONTWAIT);
    }
  }
  close(udp);

  /* The session, to the address's Messenger name. */
  int tcp = socket(AF_INET, SOCK_STREAM, 0);
  int on = 1;
  peer.sin_port = htons(139);
  if (tcp < 0) return 1;
  setsockopt(tcp, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (connect(tcp, (struct sockaddr *)&peer, sizeof peer) != 0) return 1;
  unsigned char request[4 + 68] = {0x81, 0, 0, 68};
  encode_name(request + 4, argv[1], ' ', 0x03);
  encode_name(request + 38, "FLOOR", ' ', 0x04);
  unsigned char type = 0;
  unsigned char reply[1024];
  if (write(tcp, request, sizeof request) != (ssize_t)sizeof request ||
      read_message(tcp, &type, reply) < 0 || type != 0x82) {
    return 1;
  }

  /* SEND SINGLE BLOCK MESSAGE and its reply. */
  unsigned char message[4 + 32 + 3 + 300];
  size_t text = strlen(argv[2]);
  if (text > 128) text = 128;
  memset(message, 0, 4 + 32);
  memcpy(message + 4, "\xFFSMB\xD0", 5);
  size_t at = 4 + 32 + 3; /* word count 0, byte count after the bytes */
  message[at++] = 0x04;
  memcpy(message + at, "FLOOR", 6);
  at += 6;
  message[at++] = 0x04;
  size_t recipient = strlen(argv[1]) + 1;
  if (recipient > 16) return 2;
  memcpy(message + at, argv[1], recipient);
  at += recipient;
  message[at++] = 0x01;
  message[at++] = (unsigned char)(text & 0xFF);
  message[at++] = (unsigned char)(text >> 8);
  memcpy(message + at, argv[2], text);
  at += text;
  size_t bytes = at - (4 + 32 + 3);
  message[4 + 32 + 1] = (unsigned char)(bytes & 0xFF);
  message[4 + 32 + 2] = (unsigned char)(bytes >> 8);
  message[2] = (unsigned char)((at - 4) >> 8);
  message[3] = (unsigned char)((at - 4) & 0xFF);
  /* The reply: an SMB header for this command with no error. */
  static const unsigned char ok[9] = {0xFF, 'S', 'M', 'B', 0xD0, 0, 0, 0, 0};
  if (write(tcp, message, at) != (ssize_t)at || read_message(tcp, &type, reply) < 32 ||
      type != 0 || memcmp(reply, ok, sizeof ok) != 0) {
    return 1;
  }
  shutdown(tcp, SHUT_RDWR);
  close(tcp);
  return 0;
}
