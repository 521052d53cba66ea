; checksum: answers the Fletcher-16 checksum of the input as two bytes,
; sum2 then sum1 (each sum modulo 255), so "abcde" answers C8 F0.
.equ MODULUS, 255

        movi  r1, 0              ; index
        movi  r2, 0              ; sum1
        movi  r3, 0              ; sum2
loop:   cmp   r1, r0
        jhs   done
        ldb   r4, [r1]
        add   r2, r4
        modui r2, MODULUS
        add   r3, r2
        modui r3, MODULUS
        addi  r1, 1
        jmp   loop
done:   outb  r3
        outb  r2
        halt
