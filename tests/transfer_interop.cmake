# Compressed files made by the bzip2 tool and by lbzip2 (which splits and encodes blocks its own
# way), for the expansion suite: T:\bz2-interop\game.bin and its two compressions. The content
# mixes text, noise and 20 MB of zeros, whose blocks expand to far more than a block's size.
add_scratch_tree_fixture(bz2_interop
    FOLDER bz2-interop
    SETUP bz2_interop_make
    CLEANUP bz2_interop_remove
    MAKE [=[
mkdir -p "$base"
{ seq 1 200000; head -c 1500000 /dev/urandom; head -c 20000000 /dev/zero; seq 7 3 900000; } > "$base/game.bin"
bzip2 -9 -c "$base/game.bin" > "$base/game.bin.bz2"
lbzip2 -9 -n 2 -c "$base/game.bin" > "$base/game-lbzip2.bin.bz2"
]=]
    TESTS transfer_expand_test)
