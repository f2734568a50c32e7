// The zero record that ends the program's delay-import descriptors. dlltool puts each descriptor
// in a ".text$2" section and the linker sorts ".text$" sections by name, so this record follows
// the last of them directly. The build's data directory step checks that it does.
extern "C" {
__attribute__((section(".text$2zz"), used, aligned(4)))
const unsigned char parvoletDelayImportEnd[32] = {};
}
