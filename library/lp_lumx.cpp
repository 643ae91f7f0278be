// lp_lumx
