; readfile: answers a piece of a data file of the current directory.
; Input: file id, offset, length (three big-endian 16-bit words, 6 bytes).
; Output: the file's bytes from the offset, as many as asked for and as the
; file holds (fewer at its end, none past it). Any other input length is
; refused with 6A80; a missing file answers 6A82, a file that is not a data
; file 6981, and more than 1022 bytes the output overflow.

.equ INPUT_SIZE, 6
.equ BAD_INPUT, 0x6A80
.equ BUFFER, 16              ; bytes land here, behind the input

        cmpi  r0, INPUT_SIZE     ; r0 holds the input length at start
        jne   refuse
        movi  r4, 0
        ldw   r1, [r4]           ; file id
        ldw   r2, [r4 + 2]       ; offset
        ldw   r3, [r4 + 4]       ; length
        movi  r5, BUFFER
        rdf   r5, r1, r2, r3     ; r3 = bytes read
        outm  r5, r3
        halt
refuse: fail  BAD_INPUT
