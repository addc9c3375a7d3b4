#!/usr/bin/env perl
# Prints the ranges of hostkernel/rtl/upcase.cpp: every BMP character whose simple
# upper-case mapping (Unicode Character Database, as perl carries it) leads
# to a capital whose simple lower-case mapping leads back to it, as far as
# both letters were encoded by Unicode 5.1 (the letters the platform's own
# table pairs; later pairs stay alone there), and the final sigma, which the
# platform's table up-cases to the capital sigma.
use Unicode::UCD qw(charinfo charprop);
my $newest = 5.1;
sub age { my $a = charprop($_[0], "Age"); $a =~ s/^V//; $a =~ tr/_/./; return $a; }
my @pairs = ([0x03C2, 0x03A3]);
for my $c (0 .. 0xFFFF) {
    my $i = charinfo($c) or next;
    next unless length $i->{upper};
    my $u = hex $i->{upper};
    next if $u > 0xFFFF || $u == $c;
    my $l = charinfo($u)->{lower};
    next unless length $l && hex($l) == $c;
    next if age($c) > $newest || age($u) > $newest;
    push @pairs, [$c, $u];
}
@pairs = sort { $a->[0] <=> $b->[0] } @pairs;
my @r;
for my $p (@pairs) {
    my ($c, $u) = @$p;
    my $d = $u - $c;
    if (@r) {
        my $last = $r[-1];
        my ($f, $e, $dd, $s) = @$last;
        if ($dd == $d && (($s == 0 && ($c - $e == 1 || $c - $e == 2)) || ($s && $c - $e == $s))) {
            $last->[3] = $c - $e;
            $last->[1] = $c;
            next;
        }
    }
    push @r, [$c, $c, $d, 0];
}
my @out = map { sprintf "{0x%04X, 0x%04X, %d, %d}", $_->[0], $_->[1], $_->[2], $_->[3] || 1 } @r;
while (my @line = splice @out, 0, 3) { print "    ", join(", ", @line), ",\n"; }
print STDERR scalar(@r), " ranges, ", scalar(@pairs), " letters, Unicode ",
    Unicode::UCD::UnicodeVersion(), " up to ", $newest, "\n";
