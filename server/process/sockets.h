/* Socket helpers of the listener and the workers: the graceful close of a
 * client socket and the refusal frame sent to a client that is turned away.
 * Any thread, on a socket it owns. */
#ifndef KYVEK_SERVER_SOCKETS_H
#define KYVEK_SERVER_SOCKETS_H

#ifdef __cplusplus
extern "C" {
#endif

/* The largest refusal frame, marker and NUL included. */
#define CLIENT_ERROR_FRAME_MAX 512

/* Shuts the socket down and closes it, dropping what the peer still sends for
 * at most about 2 seconds or 64 KiB. */
void close_socket_gracefully(int socket);

/* The same on a thread of its own, so that the caller (the listener) never
 * waits on a peer that keeps sending. When too many such closes are under way
 * the socket is closed at once instead. */
void close_socket_in_background(int socket);

/* Sends one refusal frame: 0xFF 0xFF 0xFF 0xFF, text, detail, NUL; at most 512
 * bytes (the detail, then the text, is cut to fit). What send returns. */
long send_client_error(int socket, const char* text, const char* detail);

#ifdef __cplusplus
}
#endif

#endif
