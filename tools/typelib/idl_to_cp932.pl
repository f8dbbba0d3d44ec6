#!/usr/bin/perl
# Converts the UTF-8 type-library source into the Shift-JIS (CP932) copy that
# widl compiles. oleaut32 decodes type-library strings with the ANSI code
# page, so the Japanese help strings must be stored as CP932 bytes.
#
# A CP932 double-byte character whose trail byte is 0x5C (a backslash, as in
# "ソ" or "表") would be read by widl's preprocessor as an escape; such trail
# bytes are doubled so that the string keeps exactly one 0x5C.
#
# usage: idl_to_cp932.pl input.idl output.idl
use strict;
use warnings;
use Encode qw(decode encode FB_CROAK);

die "usage: $0 input.idl output.idl\n" unless @ARGV == 2;
my ($in, $out) = @ARGV;

open(my $fh, '<:raw', $in) or die "$in: $!\n";
my $utf8 = do { local $/; <$fh> };
close($fh);

my $text = decode('UTF-8', $utf8, FB_CROAK);
my $sjis = encode('cp932', $text, FB_CROAK);

my $result = '';
my $i = 0;
my $n = length($sjis);
while ($i < $n) {
    my $b = ord(substr($sjis, $i, 1));
    if ((($b >= 0x81 && $b <= 0x9F) || ($b >= 0xE0 && $b <= 0xFC)) && $i + 1 < $n) {
        my $trail = substr($sjis, $i + 1, 1);
        $result .= substr($sjis, $i, 1) . $trail;
        $result .= "\\" if $trail eq "\\";
        $i += 2;
    } else {
        $result .= substr($sjis, $i, 1);
        $i += 1;
    }
}

my $tmp = "$out.tmp";
open(my $oh, '>:raw', $tmp) or die "$tmp: $!\n";
print $oh $result;
close($oh) or die "$tmp: $!\n";
rename($tmp, $out) or die "$out: $!\n";
