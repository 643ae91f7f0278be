// lp_dump
