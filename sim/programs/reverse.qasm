; reverse: answers the input bytes in reverse order.
        mov   r1, r0             ; r1 = index one past the next byte to emit
next:   cmpi  r1, 0
        jeq   done
        subi  r1, 1
        ldb   r2, [r1]
        outb  r2
        jmp   next
done:   halt
