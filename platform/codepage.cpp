// OEM (code page 437) to ANSI (code page 1252), the pair a western Windows
// system runs with.
//
// Where 1252 has the character, that byte is taken. Where it has not, the
// nearest look-alike is taken, the way Windows' best-fit conversion does:
// box drawing becomes '+' (corners, junctions, crossings), '-' and '=' (single and
// double horizontals), '|' (verticals); Greek letters their Latin
// counterpart; the mathematical signs an ASCII sign of the same meaning.
// Block and shade characters, which resemble nothing, become '_'.
#include "platform/win32.h"

static const unsigned char oemToAnsi[128] = {
    // 0x80: C-cedilla, u-umlaut, e-acute, a-circumflex, a-umlaut, a-grave, a-ring, c-cedilla,
    //       e-circumflex, e-umlaut, e-grave, i-umlaut, i-circumflex, i-grave, A-umlaut, A-ring
    0xC7, 0xFC, 0xE9, 0xE2, 0xE4, 0xE0, 0xE5, 0xE7, 0xEA, 0xEB, 0xE8, 0xEF, 0xEE, 0xEC, 0xC4, 0xC5,
    // 0x90: E-acute, ae, AE, o-circumflex, o-umlaut, o-grave, u-circumflex, u-grave,
    //       y-umlaut, O-umlaut, U-umlaut, cent, pound, yen, peseta (P), florin
    0xC9, 0xE6, 0xC6, 0xF4, 0xF6, 0xF2, 0xFB, 0xF9, 0xFF, 0xD6, 0xDC, 0xA2, 0xA3, 0xA5, 'P', 0x83,
    // 0xA0: a-acute, i-acute, o-acute, u-acute, n-tilde, N-tilde, ordinals, inverted ?,
    //       reversed not (not), not, one half, one quarter, inverted !, guillemets
    0xE1, 0xED, 0xF3, 0xFA, 0xF1, 0xD1, 0xAA, 0xBA, 0xBF, 0xAC, 0xAC, 0xBD, 0xBC, 0xA1, 0xAB, 0xBB,
    // 0xB0: three shades, then box drawing
    '_', '_', '_', '|', '+', '+', '+', '+', '+', '+', '|', '+', '+', '+', '+', '+',
    // 0xC0: box drawing
    '+', '+', '+', '+', '-', '+', '+', '+', '+', '+', '+', '+', '+', '=', '+', '+',
    // 0xD0: box drawing, then full block, lower half, left half, right half, upper half
    '+', '+', '+', '+', '+', '+', '+', '+', '+', '+', '+', '_', '_', '_', '_', '_',
    // 0xE0: alpha, sharp s, Gamma, pi, Sigma, sigma, micro, tau,
    //       Phi, Theta, Omega, delta, infinity, phi, epsilon, intersection
    'a', 0xDF, 'G', 'p', 'S', 's', 0xB5, 't', 'F', 'T', 'O', 'd', '8', 'f', 'e', 'n',
    // 0xF0: identical to, plus-minus, >=, <=, integral halves, division, approx.,
    //       degree, bullet operator, middle dot, root, superscript n, superscript 2,
    //       square, no-break space
    '=', 0xB1, '>', '<', '(', ')', 0xF7, '~', 0xB0, 0xB7, 0xB7, 'v', 'n', 0xB2, '_', 0xA0,
};

BOOL WINAPI OemToCharBuffA(LPCSTR source, LPSTR dest, DWORD length)
{
    if (!source || !dest)
        return FALSE;
    for (DWORD i = 0; i < length; i++) {
        unsigned char c = (unsigned char)source[i];
        dest[i] = (char)(c < 0x80 ? c : oemToAnsi[c - 0x80]);
    }
    return TRUE;
}
