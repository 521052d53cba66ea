; add16: the token's default executable file 0001.
; Input: two big-endian 16-bit numbers (4 bytes). Output: their sum modulo
; 65536, big-endian (2 bytes). Any other input length is refused with 6A80.

.equ INPUT_SIZE, 4
.equ BAD_INPUT, 0x6A80

        cmpi  r0, INPUT_SIZE     ; r0 holds the input length at start
        jne   refuse
        movi  r1, 0              ; the input sits at address 0
        ldw   r2, [r1]
        ldw   r3, [r1 + 2]
        add   r2, r3
        outw  r2
        halt
refuse: fail  BAD_INPUT
