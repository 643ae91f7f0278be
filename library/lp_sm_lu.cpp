// lp_sm_lu
