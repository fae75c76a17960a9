/*
 * pravune-sample: the sample application that comes with PRAVUNE Loader, for trying the loader
 * and its demo. An 8051 program built with SDCC to start at 0x0E00, above the bootloader; see
 * README.md beside this file for how it is built.
 *
 * It greets on the serial port (9600 baud, 8 data bits, no parity, 1 stop bit) with its serial
 * number, then blinks "PRAVUNE" and the serial number in Morse code on an LED at P1.0 (lit while
 * the pin is low), for ever. The timing assumes a classic 8051 core (12 clocks per machine
 * cycle) on an 11.0592 MHz crystal.
 *
 * The serial number is what the loader's serial-number plan writes at 0x3BF0 (address 3BF0,
 * 4 bytes, most significant byte first). Erased flash reads 0xFF: then there is none.
 */
#include <8051.h>
#include <stdint.h>

#define SERIAL_ADDRESS 0x3BF0
#define SERIAL_BYTES 4

/* Timer 0 counts machine cycles: 921.6 of them make one millisecond at 11.0592 MHz. */
#define MS_RELOAD (65536u - 922u)
/* Timer 1 in auto-reload mode: 9600 baud at 11.0592 MHz. */
#define BAUD_9600_RELOAD 0xFD

/* One Morse unit (a dot) in milliseconds. */
#define UNIT_MS 120

/* Morse code of '0'..'9' and 'A'..'Z': after the leading 1 bit, one bit per element from the
 * most significant down, 0 a dot and 1 a dash. */
static const __code uint8_t morse_digits[10] = {
    0x3F, 0x2F, 0x27, 0x23, 0x21, 0x20, 0x30, 0x38, 0x3C, 0x3E,
};
static const __code uint8_t morse_letters[26] = {
    0x05, 0x18, 0x1A, 0x0C, 0x02, 0x12, 0x0E, 0x10, 0x04, 0x17, 0x0D, 0x14, 0x07,
    0x06, 0x0F, 0x16, 0x1D, 0x0A, 0x08, 0x03, 0x09, 0x11, 0x0B, 0x19, 0x1B, 0x1C,
};

static const __code char hex_digits[] = "0123456789ABCDEF";

/* Bytes 0 to 2 are the application's entry, which the loader writes on their own: a jump to
 * this program's start. */
__code __at(0x0000) const uint8_t entry_jump[3] = {0x02, 0x0E, 0x00}; /* LJMP 0x0E00 */

static void delay_ms(uint16_t ms) {
    while (ms--) {
        TH0 = MS_RELOAD >> 8;
        TL0 = MS_RELOAD & 0xFF;
        TF0 = 0;
        TR0 = 1;
        while (!TF0) {
        }
        TR0 = 0;
    }
}

static void uart_put(char c) {
    TI = 0;
    SBUF = c;
    while (!TI) {
    }
}

static void uart_puts(const __code char* text) {
    while (*text)
        uart_put(*text++);
}

static void led(uint8_t on) {
    P1_0 = on ? 0 : 1;
}

/* Blinks one character and the pause after it; anything without a Morse code (a space) makes
 * that pause one between words. */
static void morse_char(char c) {
    uint8_t code = 0;
    uint8_t bit;
    if (c >= '0' && c <= '9')
        code = morse_digits[c - '0'];
    else if (c >= 'A' && c <= 'Z')
        code = morse_letters[c - 'A'];
    if (code == 0) {
        delay_ms(4 * UNIT_MS); /* after a letter's three units: seven between words */
        return;
    }
    bit = 0x80;
    while (!(code & bit))
        bit >>= 1; /* the leading 1 */
    for (bit >>= 1; bit; bit >>= 1) {
        led(1);
        delay_ms(code & bit ? 3 * UNIT_MS : UNIT_MS);
        led(0);
        delay_ms(UNIT_MS);
    }
    delay_ms(2 * UNIT_MS); /* with the element gap above: three units between letters */
}

static void morse_text(const __code char* text) {
    while (*text)
        morse_char(*text++);
}

static uint8_t serial_byte(uint8_t i) {
    /* Read through an address, so that the compiler cannot assume the erased value. */
    const __code uint8_t* serial = (const __code uint8_t*)SERIAL_ADDRESS;
    return serial[i];
}

static uint8_t has_serial(void) {
    uint8_t i;
    for (i = 0; i < SERIAL_BYTES; ++i)
        if (serial_byte(i) != 0xFF)
            return 1;
    return 0;
}

static void init(void) {
    TMOD = 0x21; /* timer 1: 8-bit auto-reload (baud rate); timer 0: 16-bit (delays) */
    TH1 = BAUD_9600_RELOAD;
    TL1 = BAUD_9600_RELOAD;
    TR1 = 1;
    SCON = 0x50; /* mode 1, receiver on */
    TI = 1;      /* the transmitter is free */
    led(0);
}

void main(void) {
    uint8_t i;
    const uint8_t numbered = has_serial();
    init();
    uart_puts("PRAVUNE sample application\r\nSerial number: ");
    if (numbered) {
        for (i = 0; i < SERIAL_BYTES; ++i) {
            uart_put(hex_digits[serial_byte(i) >> 4]);
            uart_put(hex_digits[serial_byte(i) & 0x0F]);
        }
        uart_puts("\r\n");
    } else {
        uart_puts("none\r\n");
    }
    for (;;) {
        morse_text("PRAVUNE");
        if (numbered) {
            morse_char(' ');
            for (i = 0; i < SERIAL_BYTES; ++i) {
                morse_char(hex_digits[serial_byte(i) >> 4]);
                morse_char(hex_digits[serial_byte(i) & 0x0F]);
            }
        }
        morse_char(' ');
    }
}
