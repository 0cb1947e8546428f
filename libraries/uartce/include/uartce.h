#ifndef UARTCE_H
#define UARTCE_H
/*
 * UARTCE: serial ports by number (1 for COM1), for a single-threaded caller.
 *
 * Port names. COM<n> (1 to 255) stands for, in this order of precedence:
 *  1. the device in the environment variable UARTCE_COM<n> when it is set and not empty;
 *  2. a line "COM<n> = DEVICE [SETTING=VALUE...]" of the port map
 *     $XDG_CONFIG_HOME/portula/ports.conf (default ~/.config/portula/ports.conf), else of
 *     /etc/portula/ports.conf. The settings (baud=50..4000000, data-bits=5..8,
 *     parity=none|odd|even|mark|space, stop-bits=1|2, flow=none|rts-cts|xon-xoff) take
 *     precedence over the caller's: when the port opens by its number (Open_Com, or
 *     UARTCE_OpenLine without a device), each one the line names replaces the one the caller
 *     gave, and the others stay the caller's. '#' starts a comment line; a bad line (a bad
 *     setting too) is reported on standard error with its file and line and skipped;
 *  3. a built-in UART with hardware behind it: COM<n> = /dev/ttyS<n-1>;
 *  4. a USB or ACM serial adapter: the entries of /dev/serial/by-id, sorted bytewise by name
 *     (without that folder: /dev/ttyACM*, then /dev/ttyUSB*, by number), take the free COM
 *     numbers from COM3 upward in that order, skipping adapters that 1 or 2 names already.
 *     The same set of adapters always gets the same numbers;
 *  5. otherwise /dev/ttyS<n-1>.
 * A device is a path, rfc2217://HOST:PORT (a serial server speaking Telnet with the
 * COM-PORT-OPTION of RFC 2217, which gets the line settings of Open_Com) or socket://HOST:PORT
 * (a raw TCP byte stream). UARTCE_DEV_ROOT, UARTCE_SYSCONF_DIR and UARTCE_SYS_ROOT move /dev,
 * /etc and /sys for tests.
 *
 * A local device that goes away while open (status UARTCE_ERR_HANGUP) is opened again with the
 * same settings by the first call after it is back under the same name; the library looks for
 * it at most every 250 ms and otherwise answers at once. A remote port stays hung up until it
 * is closed and opened again.
 *
 * Every function returns at once or within its time-out; none keeps a lock between calls.
 * Time-outs are in milliseconds.
 */

#include <stdint.h>

/* The version of this header. The library built from it says its own with UARTCE_Version(): a
 * program checks that the major numbers agree (a struct or a meaning changed) and that the
 * library's minor number is at least the header's (functions it calls were added). */
#define UARTCE_VERSION_MAJOR 2
#define UARTCE_VERSION_MINOR 2
#define UARTCE_VERSION_PATCH 0
#define UARTCE_VERSION                                                                             \
    ((UARTCE_VERSION_MAJOR << 16) | (UARTCE_VERSION_MINOR << 8) | UARTCE_VERSION_PATCH)

/* What the library exports: these functions and nothing else (it is built with hidden
 * visibility). */
#if defined(__GNUC__)
#define UARTCE_API __attribute__((visibility("default")))
#else
#define UARTCE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes: a closed set, one meaning each; UARTCE_StatusText gives the words for each. */
enum uartce_status {
    UARTCE_OK = 0,
    UARTCE_ERR_BAD_PORT = 1,        /* port number 0 */
    UARTCE_ERR_BAD_SETTINGS = 2,    /* a line setting out of range, or one the device kept */
    UARTCE_ERR_NO_DEVICE = 3,       /* the device does not exist */
    UARTCE_ERR_ACCESS = 4,          /* permission denied on the device */
    UARTCE_ERR_BUSY = 5,            /* another program holds the device */
    UARTCE_ERR_OPEN_FAILED = 6,     /* the device could not be opened or set up otherwise */
    UARTCE_ERR_ALREADY_OPEN = 7,    /* Open_Com on a port that is open */
    UARTCE_ERR_NOT_OPEN = 8,        /* the port is not open */
    UARTCE_ERR_WRITE = 9,           /* the write failed or stalled past its bounded wait */
    UARTCE_ERR_NO_REPLY = 10,       /* nothing came back within the time-out */
    UARTCE_ERR_REPLY_CUT = 11,      /* a reply began but its end did not come in the time-out */
    UARTCE_ERR_CHECKSUM = 12,       /* the reply's checksum is missing or wrong */
    UARTCE_ERR_REPLY_TOO_LONG = 13, /* the reply does not fit in 2047 bytes */
    UARTCE_ERR_HANGUP = 14,         /* the device went away (unplugged, peer closed) */
    UARTCE_ERR_READ = 15,           /* a read failed for another reason */
    UARTCE_ERR_BAD_ARGUMENT = 16,   /* a null pointer where a buffer was needed */
    UARTCE_ERR_GARBLED_ECHO = 17,   /* the line's echo of the command came back changed: two
                                       senders at once; no reply is taken */
    UARTCE_ERR_EXCEPTION = 18,      /* a Modbus slave answered with an exception: it did not
                                       carry out the request (UARTCE_ModbusExchange) */
    UARTCE_ERR_ECHO_UNKNOWN = 19,   /* a Modbus single write's repeat came back, and it is not
                                       known whether the line returns what it sends: it was its
                                       echo or the slave's reply; none is taken
                                       (UARTCE_SetModbusEcho) */
};

/* Size of the reply buffer that Send_Receive_Cmd fills, and of the chunk of Receive_Cmd. */
#define UARTCE_REPLY_BUFFER_SIZE 2048
#define UARTCE_RECEIVE_BUFFER_SIZE 1024

/* ------------------------------------------------------------------------------------------
 * The six functions every caller of a serial library of this kind may count on. A port is a
 * number from 1 to 255 (COM1 to COM255) everywhere; DataSizeInCom takes it in 16 bits, as its
 * callers have always passed it, and a number above 255 is no port there.
 * ------------------------------------------------------------------------------------------ */

/*
 * Opens COM<port> as a raw line without flow control: baud any whole rate from 50 to 4000000
 * (one without a termios constant of its own is set as an arbitrary rate), data bits 5 to 8,
 * parity (none = 0, odd = 1, even = 2, mark = 3, space = 4); stop-bit code 2 gives two stop
 * bits, 0 or 1 gives one. Settings on the port's map line replace these (see Port names).
 * A local device is held exclusively (flock) until Close_Com or the end of the process, however
 * it ends; a device that another port of this process has open is refused (UARTCE_ERR_BUSY,
 * naming that port). The settings are read back once set: a driver that kept one of them as it
 * was refuses the open with UARTCE_ERR_BAD_SETTINGS and the setting in the reason ("230400 baud
 * (it keeps 115200)"). A rate is taken when the one the driver runs at is within 2 % of it,
 * as a link's two ends need (the error of each end adds up over a frame). A remote
 * open, name look-up included, is refused after 2 s. On refusal one line naming the port, the
 * device and the reason goes to standard error, and UARTCE_LastError returns it.
 */
UARTCE_API uint16_t Open_Com(uint8_t port, uint32_t baudRate, uint8_t dataBits, uint8_t parity,
                             int8_t stopBits);

/* Closes the port and releases its lock. UARTCE_ERR_NOT_OPEN when it was not open. */
UARTCE_API uint16_t Close_Com(uint8_t port);

/*
 * Sends exactly count bytes, zero bytes included. Gives up with UARTCE_ERR_WRITE when the
 * line takes none of them for a second (the other side stalls).
 */
UARTCE_API uint16_t Send_Binary(uint8_t port, const char* data, uint32_t count);

/*
 * Sends a command and collects its reply.
 * Input already waiting is discarded first. On the line: the command's bytes, then with
 * checksum != 0 two uppercase hex digits of their sum modulo 256, then CR. The reply is the
 * bytes up to the next CR, without it; the call returns as soon as the CR arrives.
 * Every answer belongs to its command:
 *  - the line's echo: bytes that repeat the frame exactly, from the first byte that comes, are
 *    dropped (a 2-wire RS-485 line returns what it sends). For an addressed command (below),
 *    bytes that begin as the frame does and then differ from it, or a first line of the
 *    command's length that differs from it in a byte or so and does not begin as a reply does
 *    (!, ?, >), are a garbled echo, two senders at once: the call returns
 *    UARTCE_ERR_GARBLED_ECHO without a reply;
 *  - other modules: for an addressed command ($AA, #AA, %AA, @AA, ~AA, AA two hex digits), a
 *    reply that carries another address (!BB..., ?BB...) is dropped and the wait goes on; a
 *    reply without an address (>...) is taken;
 *  - the reply's form: a reply to an addressed command begins !AA, ?AA or >. Any other line is
 *    no answer and is dropped, and the wait goes on: the echo a second time (two converters on
 *    the line), the echo without its first bytes (a receiver that turns on late), a line of
 *    noise. At a line's start a NUL or a byte above 0x7F (line noise) is dropped too;
 *  - line ends: a CR LF or LF CR ending belongs to the reply it ends. An LF at the start of a
 *    line is the end of the line before it and is dropped; an LF before the CR is not part of
 *    the reply;
 *  - late replies: after a command that got no reply (time-out, cut off, too long without its
 *    end, garbled echo), its reply, or the rest of it, may still come. The next command to the
 *    same module (or, when either has no address, any next command; after a reply cut off or a
 *    garbled echo, whose rest carries no address, any next command; after a command whose
 *    replies carry no address, a reading #AA or @AA answered >..., any next command too, for
 *    its reply could pass for any module's) first listens for it until the failed command's
 *    time-out and then the port's late-reply window (UARTCE_SetLateWindow, 500 ms unless set)
 *    have passed since that command went out, and drops what came. Each whole line that comes
 *    settles one owed reply (by its address, where it has one), so the listen ends early once
 *    every reply this command could be taken for has come; a reply under way when the window
 *    ends is read to its end, for one time-out more. That wait
 *    is added to the call's own time-out. What is owed is also written down for the device (a
 *    small file in $XDG_RUNTIME_DIR/portula, else /tmp/portula-UID), so that the next open of
 *    the same device, by this program after Close_Com or by another program started at once,
 *    listens for it before its first command. A remote port's first command also listens for
 *    one of its own time-outs from the connection (answers meant for a client that was there
 *    before).
 * What is dropped is counted (UARTCE_Drops), kept (UARTCE_TakeDropped) and traced with its
 * reason. Two cases no rule can tell apart, and where a wrong reply can still be taken: a reply
 * that comes later than its window, after the next command to the same module (or any command,
 * as above) went out; and a module that answers one command twice, whose second answer comes
 * after the next command went out. Both are that command's answer in form and address.
 * The time-out covers the whole exchange: a serial server's confirmation that it dropped its
 * input is waited for at most half of it, and not asked for again once it failed to come. With
 * checksum != 0 the reply's last two characters must be the hex sum (either case) of the
 * bytes before them; they are removed.
 * reply: a buffer of UARTCE_REPLY_BUFFER_SIZE bytes, always zero-terminated on return (it
 * holds what arrived when the reply was cut off, too long or wrong).
 * out (may be null): receives the reply's length.
 */
UARTCE_API uint16_t Send_Receive_Cmd(uint8_t port, const char* command, char* reply,
                                     uint16_t timeoutMs, uint16_t checksum, uint32_t* out);

/*
 * Returns at once with the bytes waiting, at most UARTCE_RECEIVE_BUFFER_SIZE - 1, followed by
 * a zero byte in buffer (empty when nothing waits). Polled data is raw: the checksum flag and
 * the time-out are accepted for symmetry with Send_Receive_Cmd and do not change what is
 * returned. out (may be null): receives the number of bytes delivered.
 */
UARTCE_API uint16_t Receive_Cmd(uint8_t port, char* buffer, uint16_t timeoutMs, uint16_t checksum,
                                uint32_t* out);

/*
 * Bytes waiting to be read, those the library holds included; never waits. 0 for a port that
 * is not open, and for a hung-up port once what it held has been delivered.
 */
UARTCE_API uint32_t DataSizeInCom(uint16_t port);

/* ------------------------------------------------------------------------------------------
 * Extensions. A caller that must also run on a library with only the six functions above looks
 * these up at run time (dlsym) and does without the ones it does not find. Functions that
 * write text write it zero-terminated into out (cut to size) and return the text's full length.
 * Structs begin with a size field that the caller sets to sizeof the struct it was built with;
 * the library fills no more than that, so a program built against an older header keeps
 * working when a struct grows.
 * ------------------------------------------------------------------------------------------ */

/* The library's version, as UARTCE_VERSION spells it: (major << 16) | (minor << 8) | patch. */
UARTCE_API uint32_t UARTCE_Version(void);

/*
 * The words for a status code, one line without a line end, the same for every program that
 * shows it: "no reply within the time-out", "the device hung up". "unknown status" for a number
 * outside the set. The text is the library's, valid for as long as the library is loaded.
 */
UARTCE_API const char* UARTCE_StatusText(uint16_t status);

/* The device that Open_Com would open for COM<port>; 0 for port 0. */
UARTCE_API uint32_t UARTCE_PortDevice(uint8_t port, char* out, uint32_t size);

/*
 * One line about COM<port>'s device for a tooltip: the device, for an adapter its by-id name
 * (maker, model and serial as that name spells them), and "(absent)" when the device is not
 * there. 0 for port 0.
 */
UARTCE_API uint32_t UARTCE_PortInfo(uint8_t port, char* out, uint32_t size);

/*
 * Why the last Open_Com of COM<port>, or the last UARTCE_SetLine of it, was refused (the line
 * that went to standard error, without its prefix); empty after a successful open or change.
 */
UARTCE_API uint32_t UARTCE_LastError(uint8_t port, char* out, uint32_t size);

/*
 * Traces every later call that touches the line to the file at path, one JSON
 * line a call (null or empty: tracing off), in place of the environment variable PORTULA_TRACE.
 * Only a regular file (created when missing, appended to) or a character device such as
 * /dev/null is taken; a FIFO or anything else is refused, as is a file that cannot be opened:
 * UARTCE_ERR_OPEN_FAILED, with one line on standard error, and tracing is then off. Neither the
 * open nor a write ever waits: a line the file cannot take whole (a full disk, a file-size
 * limit) is dropped, the first loss is said on standard error and the count when the program
 * ends, and the exchange goes on.
 */
UARTCE_API uint16_t UARTCE_SetTrace(const char* path);

/*
 * Waits up to timeoutMs for a reply and returns it, so that no caller polls.
 * With terminator 0 to 255 the reply is the bytes up to that byte (not kept): UARTCE_OK once
 * it came, UARTCE_ERR_REPLY_CUT when bytes came but not it, UARTCE_ERR_REPLY_TOO_LONG when
 * capacity - 1 bytes came without it (the rest up to it is dropped). With terminator -1 the
 * first bytes end the wait, with what else is there by then. UARTCE_ERR_NO_REPLY when nothing
 * came. buffer (capacity bytes) is zero-terminated; out (may be null) gets the length.
 * After a Send_Binary it follows the rules of Send_Receive_Cmd: the echo of what Send_Binary
 * wrote is dropped, a reply from another address is dropped for an addressed command (with a
 * terminator), and after a receive that got no reply the next Send_Binary to the same module
 * first listens for that late reply. Bytes held from before the Send_Binary are not dropped:
 * drain them first (Receive_Cmd) when they are not wanted.
 */
UARTCE_API uint16_t UARTCE_Receive(uint8_t port, char* buffer, uint32_t capacity,
                                   uint16_t timeoutMs, int16_t terminator, uint32_t* out);

/*
 * Send_Receive_Cmd with a time-out for the reply's first byte of its own: when
 * no byte of a reply (its echo does not count) has come within firstByteMs of the command, the
 * call gives up with UARTCE_ERR_NO_REPLY; once one has, the reply has until timeoutMs to end.
 * A scan knows a silent address as soon as the first byte fails to come.
 */
UARTCE_API uint16_t UARTCE_Command(uint8_t port, const char* command, char* reply,
                                   uint16_t firstByteMs, uint16_t timeoutMs, uint16_t checksum,
                                   uint32_t* out);

/*
 * For the port's last command (Send_Receive_Cmd, UARTCE_Command, or the
 * UARTCE_Receive after a Send_Binary), the microseconds from the end of its write to the end of
 * its reply (or of the wait): without the time spent before the write (an owed late reply
 * listened for, input dropped). 0 for a port that is not open.
 */
UARTCE_API uint32_t UARTCE_LastRoundTrip(uint8_t port);

/*
 * How long, in milliseconds, the way to the line holds a reply back beyond
 * its time on the wire, for timing that allows for it: for a USB adapter its latency timer (1
 * once the library put it in the driver's low-latency mode, which it does at open where the
 * driver offers it, giving the old mode back at close), for a remote port the round trip of
 * its connection, else 0. 0 for a port that is not open.
 */
UARTCE_API uint32_t UARTCE_LineLatency(uint8_t port);

/*
 * Opens a device by its name (a path, rfc2217://HOST:PORT or
 * socket://HOST:PORT) without a COM number of the caller's: the library takes the highest port
 * number that is not open, and puts it in *port, on refusal too (UARTCE_LastError then says
 * why). The six functions then take that number; while it is open, Open_Com of that number is
 * UARTCE_ERR_ALREADY_OPEN. Settings and refusals as Open_Com; the refusal names the device, not
 * a COM port. UARTCE_ERR_BAD_ARGUMENT for a null or empty name or a null port.
 */
UARTCE_API uint16_t UARTCE_OpenDevice(const char* device, uint32_t baudRate, uint8_t dataBits,
                                      uint8_t parity, int8_t stopBits, uint8_t* port);

/*
 * From now on the library's messages go to handler instead of
 * standard error: each refusal (status its code, port the port refused, text the line that
 * UARTCE_LastError returns) and each warning (status 0: a bad map line, a skipped map, a
 * trace that cannot be written or loses lines). text is one line without a line end, valid
 * for the call. A null handler sends them to standard error again, one line each after
 * "UARTCE: ". The count of lost trace lines said when the program ends goes to standard error.
 */
typedef void (*uartce_message_fn)(void* context, uint8_t port, uint16_t status, const char* text);
UARTCE_API void UARTCE_SetMessageHandler(uartce_message_fn handler, void* context);

/*
 * Line settings with everything Open_Com's arguments cannot say: baud 50 to 4000000, dataBits
 * 5 to 8, parity as Open_Com's, stopBits 1 or 2 (0 means 1), flow control. The caller sets size
 * to sizeof(struct uartce_line); the library reads no more than that, and a size below 12 is
 * UARTCE_ERR_BAD_ARGUMENT.
 */
enum uartce_flow {
    UARTCE_FLOW_NONE = 0,
    UARTCE_FLOW_RTS_CTS = 1,  /* hardware handshake (CRTSCTS) */
    UARTCE_FLOW_XON_XOFF = 2, /* software handshake, both ways (IXON and IXOFF) */
};
struct uartce_line {
    uint32_t size; /* set by the caller: sizeof(struct uartce_line) */
    uint32_t baud;
    uint8_t dataBits;
    uint8_t parity;
    uint8_t stopBits;
    uint8_t flow; /* a uartce_flow */
};

/*
 * Opens a port with line settings, flow control included. With a device
 * name, as UARTCE_OpenDevice does (the library chooses the port number and puts it in *port);
 * with a null or empty device, COM<*port> through the port map, as Open_Com does, the settings
 * of its map line replacing the caller's. Refusals as Open_Com's: a setting the device kept is
 * UARTCE_ERR_BAD_SETTINGS, naming it ("RTS/CTS flow control (it keeps none)"). A raw TCP port
 * (socket://) takes any settings: they are its server's. UARTCE_ERR_BAD_ARGUMENT for a null
 * line or port, or a size below 12.
 */
UARTCE_API uint16_t UARTCE_OpenLine(const char* device, const struct uartce_line* line,
                                    uint8_t* port);

/*
 * Changes the line settings of an open port in place, without closing it:
 * the lock, what waits on the line and replies still owed stay, and a scan changes rates
 * without opening the port again. The settings are read back as at an open; one the device
 * kept refuses the change with UARTCE_ERR_BAD_SETTINGS, the line is left as it was, and
 * UARTCE_LastError says which ("230400 baud (it keeps 115200)"; the line goes to standard error
 * or the message handler too). A serial server (rfc2217://) is asked and must confirm within
 * 2 s; a raw TCP port takes any. The port's map line does not apply: the settings are the
 * caller's. A port that hung up keeps its settings: UARTCE_ERR_HANGUP. UARTCE_ERR_NOT_OPEN for
 * a port that is not open, UARTCE_ERR_BAD_ARGUMENT as UARTCE_OpenLine.
 */
UARTCE_API uint16_t UARTCE_SetLine(uint8_t port, const struct uartce_line* line);

/*
 * What COM<com> stands for, as Open_Com would open it: the device, for an
 * adapter its by-id name and the node it points at, where the name came from ("env
 * UARTCE_COM3", "FILE:LINE", "discovered", "built-in", "default"), whether it is assigned (not
 * the default) and whether the device is there. Strings are zero-terminated, cut to fit.
 * UARTCE_ERR_BAD_PORT for 0; UARTCE_ERR_BAD_ARGUMENT for a null info or a size below 4.
 */
struct uartce_port_info {
    uint32_t size; /* set by the caller: sizeof(struct uartce_port_info) */
    uint8_t com;
    uint8_t assigned;
    uint8_t present;
    char device[512];
    char byIdName[256];
    char target[512];
    char source[600];
};
UARTCE_API uint16_t UARTCE_PortMapEntry(uint8_t com, struct uartce_port_info* info);

/*
 * What came on the line after this port's commands that was not their reply, as
 * Send_Receive_Cmd sorted it (see there), counted since the port was opened; and the last such
 * bytes (cut to fit, zero-terminated) with their reason (1 echo, 2 garbled echo, 3 another
 * module's reply, 4 a late reply, 5 not a reply's form: noise, a stray LF, a line no module
 * sends). UARTCE_ERR_NOT_OPEN for a port that is not open; UARTCE_ERR_BAD_ARGUMENT for a null
 * drops or a size below 4.
 */
struct uartce_drops {
    uint32_t size; /* set by the caller: sizeof(struct uartce_drops) */
    uint32_t echoes;
    uint32_t garbledEchoes;
    uint32_t otherAddress;
    uint32_t late;
    uint16_t lastReason;
    uint32_t lastLength;
    char lastBytes[64];
    uint32_t notReplies;
};
UARTCE_API uint16_t UARTCE_Drops(uint8_t port, struct uartce_drops* drops);

/*
 * Each piece that was dropped (as UARTCE_Drops counts them), oldest first,
 * at most max into out, and forgets those; the port keeps the latest 64. Returns how many were
 * written (0 for a port that is not open, a null out or a size below 4). The caller sets the size
 * of out[0] only; the library steps through out by that size and sets it in each piece. A scan
 * reads every answer that came late this way.
 */
struct uartce_dropped {
    uint32_t size;   /* set by the caller in out[0]: sizeof(struct uartce_dropped) */
    uint16_t reason; /* as UARTCE_Drops' lastReason */
    uint32_t length; /* bytes kept, cut to fit */
    char bytes[128]; /* zero-terminated */
};
UARTCE_API uint32_t UARTCE_TakeDropped(uint8_t port, struct uartce_dropped* out, uint32_t max);

/*
 * The call that waits for the line now (Send_Receive_Cmd, UARTCE_Command,
 * UARTCE_Receive) ends at once, as if its time-out had passed: with UARTCE_ERR_NO_REPLY, or
 * UARTCE_ERR_REPLY_CUT when part of a reply had come, whose rest is then owed as any late reply.
 * Safe in a signal handler (a terminal's Ctrl-C while a command waits); the signal's arrival
 * ends the wait in the system call. Asked while no call waits (a signal that came just before
 * the call began its wait), it ends the next such call at once, so that no Ctrl-C is lost; each
 * such call, however it ends, leaves the next one to wait afresh.
 */
UARTCE_API void UARTCE_Abandon(void);

/*
 * A file descriptor that turns readable (poll's POLLIN) when input may have
 * come on the port, for a caller that waits on the port together with descriptors of its own
 * instead of polling DataSizeInCom. Before waiting, call Receive_Cmd until it delivers nothing:
 * bytes the library holds already do not make the descriptor readable. Readable promises
 * nothing: Receive_Cmd may then deliver nothing (a serial server's protocol bytes alone). The
 * descriptor is the library's: never read, write or close it. -1 for a port that is not open or
 * whose device went away (Receive_Cmd, called now and then, finds its return); the descriptor
 * may change after an open, and after a device came back.
 */
UARTCE_API int32_t UARTCE_WaitHandle(uint8_t port);

/*
 * How long, in milliseconds, after a command that got no reply its reply
 * is still listened for by the next command that it could be taken for (see Send_Receive_Cmd),
 * beyond the failed command's own time-out. 500 unless set; set when the port is open, it
 * lasts until it is closed. A longer window catches later replies and costs a slower next
 * command after a silent module. UARTCE_ERR_NOT_OPEN for a port that is not open.
 */
UARTCE_API uint16_t UARTCE_SetLateWindow(uint8_t port, uint16_t windowMs);

/*
 * The kernel's RS-485 mode of an open local port: the UART's driver sets RTS to one level while
 * it sends and to the other after, to switch a 2-wire transceiver between sending and
 * receiving, optionally waiting delayBeforeMs before the first byte and delayAfterMs after the
 * last. With rxDuringTx the receiver stays on while sending, so the line's own echo comes back
 * and is dropped as any line's echo (see Send_Receive_Cmd), and a garbled echo shows two senders
 * at once; without it the UART hears nothing of its own frame. terminateBus switches the bus
 * terminator on where the port has one. enabled 0 turns the mode off.
 * The mode is set and then read back from the driver: a driver keeps what it cannot do otherwise
 * (delays clamped, one RTS level where both were asked alike, a flag dropped) and still takes
 * the mode: UARTCE_OK, kept (may be null) receives the mode as the driver keeps it, and
 * UARTCE_Rs485Changes says each difference in a line. A device without the mode (a USB adapter,
 * whose RS-485 models switch by themselves; a UART whose driver has none; a pseudo-terminal; a
 * remote port), or a driver that keeps the mode off, is refused with UARTCE_ERR_BAD_SETTINGS and
 * one line naming the port and the reason (reported as a refused open is), and the mode stays as
 * it was. UARTCE_ERR_NOT_OPEN for a port that is not open, UARTCE_ERR_HANGUP while its device
 * is away (a device that comes back gets the mode again), UARTCE_ERR_BAD_ARGUMENT for a null
 * asked or a size below 4.
 * The mode the device had before the first change is given back at Close_Com and when the
 * program ends normally. It is also written down for the device before the change (beside the
 * owed replies, in $XDG_RUNTIME_DIR/portula), so that after a program that was killed the next
 * open of the device, by any program of the same user, gives it back first.
 */
struct uartce_rs485 {
    uint32_t size; /* set by the caller: sizeof(struct uartce_rs485) */
    uint8_t enabled;
    uint8_t rtsOnSend;    /* RTS level while sending: 1 high, 0 low */
    uint8_t rtsAfterSend; /* RTS level after sending */
    uint8_t rxDuringTx;
    uint8_t terminateBus;
    uint32_t delayBeforeMs;
    uint32_t delayAfterMs;
};
UARTCE_API uint16_t UARTCE_SetRs485(uint8_t port, const struct uartce_rs485* asked,
                                    struct uartce_rs485* kept);

/*
 * What the port's last UARTCE_SetRs485 said: after a refusal its reason, after a mode taken
 * with changes one line per change, LF between them ("delay before sending: asked 1000 ms, the
 * driver keeps 100 ms"); empty when the mode was taken as asked, and for a port not open.
 */
UARTCE_API uint32_t UARTCE_Rs485Changes(uint8_t port, char* out, uint32_t size);

/* ------------------------------------------------------------------------------------------
 * Modbus, this program the master (minor version 2).
 * ------------------------------------------------------------------------------------------ */

enum uartce_modbus_mode {
    UARTCE_MODBUS_RTU = 0,   /* binary frames ending in a CRC-16 (low byte first) */
    UARTCE_MODBUS_ASCII = 1, /* ':', the bytes as hex pairs, their LRC, CR LF */
};

/*
 * Sends one Modbus request and collects its reply. request holds the slave address, the
 * function code and its data: length 2 to 253 bytes, without CRC or LRC, which the library
 * adds for the mode. Input already waiting is discarded first.
 * The reply, when it came, goes to reply (capacity bytes) as the slave's address, function and
 * data, without CRC or LRC (for ASCII the bytes, not their hex digits); *replyLength (may be
 * null) gets its length. A slave address of 0 is a broadcast: the request goes out and the call
 * returns UARTCE_OK at once with no reply, for no slave answers one; the port's next exchange
 * waits until the frame's wire time and a turnaround of 100 ms have passed, in which the slaves
 * carry it out.
 * Which frame is the answer:
 *  - frames: an RTU frame ends when its length is known and has come (5 bytes for an
 *    exception, 5 plus the byte count for functions 1 to 4, 8 for 5, 6, 15 and 16), else once
 *    the line has been quiet for 3.5 characters at the port's rate and framing (1.75 ms above
 *    19200 baud), plus the latency of the way to the line (UARTCE_LineLatency). A frame that
 *    begins as the answer (the request's slave and function, or its exception) and whose
 *    length is known is not ended by a pause: it is taken whole, or is UARTCE_ERR_REPLY_CUT at
 *    the time-out. An ASCII frame runs from ':' to CR LF;
 *  - the line's echo: a frame that repeats the request is dropped (a 2-wire RS-485 line). A
 *    single write's reply (functions 5 and 6) and a diagnostic's (8) may repeat the request
 *    byte for byte: for those, a frame that repeats it is the reply, unless the port has seen
 *    its line echo an earlier request and this frame is the first to come. A first frame that
 *    fails its check, has the request's length and differs from it in one or two bytes is the
 *    echo garbled by a second sender: UARTCE_ERR_GARBLED_ECHO, no reply taken;
 *  - the answer carries the request's slave address and function. A frame from another slave,
 *    or with another function, is dropped and the wait goes on until the time-out;
 *  - the same function with 0x80 set is an exception: UARTCE_ERR_EXCEPTION, the exception's
 *    code in *exceptionCode (may be null; set to 0 otherwise), the frame (address, function,
 *    code) in reply. UARTCE_ModbusExceptionText gives its words;
 *  - a frame whose CRC or LRC does not match is UARTCE_ERR_CHECKSUM, whoever it seems to be
 *    from, for nothing in it can be trusted: reply holds the frame as it came (cut to fit);
 *  - late replies: after a request that got no reply (time-out, cut off, garbled echo), its
 *    reply may still come. The next request to the same slave with the same function (after a
 *    reply cut off or a garbled echo, any next request) first listens for it, as
 *    Send_Receive_Cmd listens for a late reply (the port's late-reply window, written down for
 *    the device too), and drops it; each whole frame from that slave ends the listen early.
 *    Replies owed by text commands that could pass for anyone's are listened for as well.
 * Statuses as Send_Receive_Cmd's: UARTCE_ERR_NO_REPLY when no answer came within timeoutMs,
 * UARTCE_ERR_REPLY_CUT when one began and did not end, UARTCE_ERR_REPLY_TOO_LONG when it does
 * not fit in capacity (or an ASCII frame runs past the longest), UARTCE_ERR_BAD_ARGUMENT for a
 * null request, a null reply for a request that is no broadcast, a mode other than these, a
 * length out of range or a function outside 1 to 127 (0x80 and above are exceptions' codes). What
 * was dropped is counted and kept (UARTCE_Drops, UARTCE_TakeDropped: reason 1 echo, 2 garbled echo,
 * 3 another slave's frame, 4 a late reply, 5 another function); UARTCE_LastRoundTrip times the
 * exchange.
 */
UARTCE_API uint16_t UARTCE_ModbusExchange(uint8_t port, uint8_t mode, const uint8_t* request,
                                          uint32_t length, uint8_t* reply, uint32_t capacity,
                                          uint32_t* replyLength, uint16_t timeoutMs,
                                          uint8_t* exceptionCode);

/*
 * The words for a Modbus exception code, the same for every program: "exception 2: illegal
 * data address" (codes 1 to 6, 8, 10 and 11 have names), "exception 7" for a code without a
 * name. The text is the library's, valid for as long as the library is loaded.
 */
UARTCE_API const char* UARTCE_ModbusExceptionText(uint8_t code);

/*
 * Tells the port how many whole copies of each frame sent its line returns: 0 (RS-232, a
 * 4-wire line, a 2-wire adapter that keeps its receiver off while it sends, or one whose
 * receiver turns on late and returns only the frame's end), 1 (a 2-wire line with the receiver
 * on), 2 (through two converters); -1: not known, the default after Open_Com.
 * A single write's reply (functions 5 and 6) and a diagnostic's (8) repeat the request byte for
 * byte, so only this count tells them from the echo: the first copies are the echo, the next
 * the reply. Where it is not known, the port learns it from exchanges whose reply differs from
 * their request (a read, an exception): the copies of the request that came before that reply,
 * unless something else came first that may have been a copy damaged. Copies seen are believed
 * at once; none seen, only after two such exchanges in a row, for a frame still on its way
 * from before can come ahead of the echo. A write before the port knows waits its time-out for
 * further copies and then returns UARTCE_ERR_ECHO_UNKNOWN, taking none as the reply, unless the
 * slave answered with an exception. What the port learns later replaces what it was told.
 * UARTCE_ERR_BAD_ARGUMENT for a count outside -1 to 2; UARTCE_ERR_NOT_OPEN for a port not open.
 */
UARTCE_API uint16_t UARTCE_SetModbusEcho(uint8_t port, int32_t copies);

#ifdef __cplusplus
}
#endif

#endif /* UARTCE_H */
