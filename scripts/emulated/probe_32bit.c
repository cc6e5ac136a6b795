/* Exits 0 when this machine lets a 64-bit Linux process run 32-bit code (the code selector 0x23
 * that Wine's WoW64 mode switches to), and dies with SIGSEGV where the hypervisor offers no such
 * segment. The 32-bit code and its stack must lie below 4 GiB: built without PIE, the return
 * address does; the stack is mapped there. */
#include <stdint.h>
#include <sys/mman.h>

int main(void) {
    unsigned char *code = mmap(0, 4096, PROT_READ | PROT_WRITE | PROT_EXEC,
                               MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    unsigned char *stack = mmap(0, 65536, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (code == MAP_FAILED || stack == MAP_FAILED) return 2;
    code[0] = 0x90; /* nop */
    code[1] = 0xCB; /* far return: in 32-bit mode it pops a 4-byte offset and a 4-byte selector */
    uint32_t target[2] = {(uint32_t)(uintptr_t)code, 0x23};
    int switched = 0;
    __asm__ volatile(
        "mov %%rsp, %%r12\n\t"
        "lea 65000(%1), %%rsp\n\t"
        "lea 1f(%%rip), %%rax\n\t"
        "sub $8, %%rsp\n\t"
        "movl %%eax, (%%rsp)\n\t"
        "movl $0x33, 4(%%rsp)\n\t"
        "ljmp *(%2)\n"
        "1:\n\t"
        "mov %%r12, %%rsp\n\t"
        "movl $1, %0\n\t"
        : "=r"(switched)
        : "r"(stack), "r"(target)
        : "rax", "r12", "memory");
    return switched ? 0 : 1;
}
