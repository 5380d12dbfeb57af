// The binary interface of our MP3 library "xaudio.dll" and of its output
// modules ("xa_dsound_output.dll"). The player wrapper resolves the library's
// entry points by name with dlsym; the library resolves the output module's
// one entry point the same way. Everything here is C so that both sides can
// be built apart and loaded at run time.
//
// Control messages: the caller sends a code with its arguments through one of
// the control_message_send_* functions. They are queued and carried out in
// order on the player's own thread, so a send returns at once; its result
// only says whether the message was accepted. Failures while carrying a
// message out come back as an XA_MSG_NOTIFY_ERROR notification.
//
// Notifications: the player posts (message, wparam, lparam) triples to the
// notification target given to player_new, from its own thread. The target
// hands them to its owner's thread (the wrapper's hidden window), where
// control_win32_params_to_message turns a triple back into an XA_Message.
#pragma once

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// API version 3.8: major in bits 16..23, minor in bits 8..15 of
// xaudio_get_version(XA_API_ID_VERSION). Bits 0..7 are the library's patch
// level and carry no promise.
#define XA_API_MAJOR 3
#define XA_API_MINOR 8
#define XA_API_ID_LIBRARY 1
#define XA_API_ID_VERSION 2

// Results. 0 is success; errors are negative.
#define XA_SUCCESS 0
#define XA_FAILURE (-1)
#define XA_ERROR_OUT_OF_MEMORY (-2)
#define XA_ERROR_INVALID_PARAMETERS (-3)
#define XA_ERROR_NOT_SUPPORTED (-4)
#define XA_ERROR_NO_INPUT (-5)
#define XA_ERROR_OPEN_FAILED (-6)
#define XA_ERROR_DECODE_FAILED (-7)
#define XA_ERROR_SEEK_FAILED (-8)
#define XA_ERROR_OUTPUT_MODULE (-9)
#define XA_ERROR_OUTPUT_FAILED (-10)
#define XA_ERROR_THREAD (-11)

// Player priorities (player_set_priority). The player starts at HIGH, the
// value the game asks for, so the game never has to send it.
#define XA_PRIORITY_LOWEST 0
#define XA_PRIORITY_LOW 1
#define XA_PRIORITY_NORMAL 2
#define XA_PRIORITY_HIGH 3
#define XA_PRIORITY_HIGHEST 4

// Control message codes the player carries out.
#define XA_MSG_COMMAND_PLAY 4
#define XA_MSG_COMMAND_STOP 6
#define XA_MSG_COMMAND_INPUT_SEEK 7               // II: offset, range
#define XA_MSG_COMMAND_INPUT_OPEN 8               // S: file path
#define XA_MSG_COMMAND_OUTPUT_MODULE_REGISTER 27  // S: module file name
#define XA_MSG_SET_PLAYER_ENVIRONMENT_INTEGER 36  // SI: name, value
#define XA_MSG_SET_OUTPUT_NAME 49                 // S: output name
#define XA_MSG_SET_OUTPUT_VOLUME 57               // III: balance, pcm, master

// Notification codes the player posts.
#define XA_MSG_NOTIFY_PLAYER_STATE 101    // wparam: state
#define XA_MSG_NOTIFY_INPUT_POSITION 102  // wparam: sample frame, lparam: length in frames
#define XA_MSG_NOTIFY_ERROR 103           // wparam: command code, lparam: result code

// Player states (XA_MSG_NOTIFY_PLAYER_STATE).
#define XA_PLAYER_STATE_STOPPED 0
#define XA_PLAYER_STATE_PLAYING 1
#define XA_PLAYER_STATE_PAUSED 2
#define XA_PLAYER_STATE_EOF 3

// Volume levels (XA_MSG_SET_OUTPUT_VOLUME): balance 0 (left) .. 50 (centre)
// .. 100 (right); PCM and master level 0 (silent) .. 100 (full). A negative
// value leaves that setting as it is; values above 100 count as 100.
#define XA_VOLUME_MAX 100
#define XA_BALANCE_CENTRE 50

typedef struct XA_Player XA_Player;

// Called on the player's thread; must not block. The target delivers the
// triple to its own thread.
typedef void (*XA_PostProc)(void* context, unsigned int message, uint64_t wparam, int64_t lparam);

typedef struct XA_NotificationTarget {
    XA_PostProc post;
    void* context;
} XA_NotificationTarget;

typedef struct XA_Message {
    int code;
    union {
        struct {
            int state;
        } player_state;
        struct {
            int64_t frame;
            int64_t length;
        } input_position;
        struct {
            int command;
            int result;
        } error;
    } data;
} XA_Message;

// Library entry points, resolved by these exact names.
// player_new stores the new player in *player; target is copied.
typedef int (*XA_player_new)(XA_Player** player, const XA_NotificationTarget* target);
typedef int (*XA_player_delete)(XA_Player* player);
typedef int (*XA_player_set_priority)(XA_Player* player, int priority);
typedef int (*XA_player_get_priority)(XA_Player* player);
// Never NULL; static text.
typedef const char* (*XA_xaudio_error_string)(int code);
typedef unsigned long (*XA_xaudio_get_version)(int which);
typedef int (*XA_control_message_send_N)(XA_Player* player, int code);
typedef int (*XA_control_message_send_P)(XA_Player* player, int code, const void* data, unsigned long size);
typedef int (*XA_control_message_send_S)(XA_Player* player, int code, const char* s);
typedef int (*XA_control_message_send_SS)(XA_Player* player, int code, const char* s1, const char* s2);
typedef int (*XA_control_message_send_SI)(XA_Player* player, int code, const char* s, long i);
typedef int (*XA_control_message_send_IPI)(XA_Player* player, int code, long i1, const void* p, long i2);
typedef int (*XA_control_message_send_I)(XA_Player* player, int code, long i);
typedef int (*XA_control_message_send_II)(XA_Player* player, int code, long i1, long i2);
typedef int (*XA_control_message_send_III)(XA_Player* player, int code, long i1, long i2, long i3);
typedef int (*XA_control_message_send_IIII)(XA_Player* player, int code, long i1, long i2, long i3, long i4);
// Decodes a posted triple; XA_ERROR_INVALID_PARAMETERS for one the library
// does not post.
typedef int (*XA_control_win32_params_to_message)(XA_Player* player, XA_Message* msg, unsigned int message,
                                                  uint64_t wparam, int64_t lparam);

// ---------------------------------------------------------------------------
// Output modules. A module exports one function, xa_output_module_query, that
// fills in the interface for the API version asked for. The player calls
// every function but interrupt from its own thread.
#define XA_OUTPUT_MODULE_API 1
#define XA_OUTPUT_MODULE_ENTRY "xa_output_module_query"

typedef struct XA_OutputModule {
    // Opens the output for interleaved signed 16-bit native-endian PCM.
    // name is the output name set by the caller (may be ignored). Returns
    // NULL with a reason in error when it cannot play at all.
    void* (*open)(const char* name, int rate, int channels, char* error, size_t error_size);
    // Queues frames; blocks until they are accepted, so that the caller
    // is paced by the output in real time. Returns the frames accepted:
    // fewer than asked only after interrupt.
    size_t (*write)(void* out, const int16_t* pcm, size_t frames);
    // Blocks until everything queued has been played (or interrupt).
    void (*drain)(void* out);
    // Discards what is queued and clears an interrupt.
    void (*flush)(void* out);
    // Makes a blocked write or drain return at once, and later ones too,
    // until flush. Safe from any thread.
    void (*interrupt)(void* out);
    void (*close)(void* out);
    // Receives the player's environment integers; unknown names are ignored.
    void (*set_environment_integer)(void* out, const char* name, long value);
} XA_OutputModule;

typedef int (*XA_output_module_query)(XA_OutputModule* module, int api_version);

#ifdef __cplusplus
}
#endif
