BeforeAll {
    . (Join-Path $PSScriptRoot 'testing/TestSupport.ps1')
    . (Join-Path $PSScriptRoot 'testing/Layouts.ps1')
    . (Join-Path $PSScriptRoot 'Get-DownloadsExposure.ps1')

    $vendor = 'C:\ProgramData\Morvane Security'
    $agent = "$vendor\Morvane Devices Agent"
    $downloads = "$agent\Downloads"
    $user = $Sids.User

    # A machine: the facts of each path, and what each folder holds. By
    # default the stock layout after a repair, with nothing inside Downloads;
    # -Clean: an agent folder that blocks inheritance, so that nothing else
    # is exposed. -ProgramFiles: the list the tool copied.
    $machine = @{ Facts = @{}; Children = @{}; Key = 'full access'; Unlistable = @() }
    function Set-Machine([hashtable]$Facts = @{}, [hashtable]$Children = @{}, [string]$Key = 'full access', [switch]$Clean,
        $ProgramFiles = $ProgramFilesList, [string[]]$Unlistable = @()) {
        $inherited = if ($Clean) { @() } else { $ProgramDataInherited }
        $machine.ProgramFiles = $ProgramFiles
        $machine.Facts = @{
            'C:\ProgramData'         = New-Folder 'C:\ProgramData' -Entries $ProgramDataList
            'C:\Program Files (x86)' = New-Folder 'C:\Program Files (x86)' -Entries $ProgramFiles
            $vendor    = New-Folder $vendor -Entries $ProgramDataInherited
            $agent     = New-Folder $agent -Entries ($(if ($Clean) { $ProgramFiles } else { $ProgramDataInherited }))
            $downloads = New-Folder $downloads -Entries ($ProgramFiles + $inherited)
        }
        foreach ($path in $Facts.Keys) { $machine.Facts[$path] = $Facts[$path] }
        $machine.Children = $Children
        $machine.Key = $Key
        $machine.Unlistable = $Unlistable
    }
    function Get-Findings([int]$MaxItems = 100) {
        Mock Get-AppDataFolder { 'C:\ProgramData' }
        Mock Get-ProgramFilesFolder { 'C:\Program Files (x86)' }
        Mock Get-AgentKeyAccess { $machine.Key }
        Mock Resolve-Account { $null }
        Mock Get-ItemFacts {
            if ($machine.Facts.ContainsKey($Path)) { $machine.Facts[$Path] } else { New-Folder $Path -IsFolder $false }
        }
        Mock Get-ChildPath {
            if ($machine.Unlistable -contains $Path) { throw 'Access is denied' }
            foreach ($child in @(if ($machine.Children.ContainsKey($Path)) { $machine.Children[$Path] })) {
                $facts = $machine.Facts[$child]
                [pscustomobject]@{ Path = $child; IsReparsePoint = [bool]($facts -and $facts.IsReparsePoint) }
            }
        }
        @(Get-Exposure -MaxItems $MaxItems -MaxSeconds 60)
    }
    # A finding in one line: its kind, its path below ProgramData, the SID
    # and the rights.
    function Format-Finding($Finding) {
        '{0} {1} {2} {3}' -f $Finding.Kind, $Finding.Path.Replace('C:\ProgramData\', ''), $Finding.Sid, $Finding.Allows
    }
    # A child inside Downloads as Windows makes it: what it inherits from
    # Downloads' list for its owner, after its own explicit entries.
    function New-Child([string]$Name, [string]$Owner = $Sids.System, [bool]$IsFolder = $true, $Explicit = @()) {
        $parent = $machine.Facts[$downloads].Entries
        New-Folder "$downloads\$Name" -Owner $Owner -IsFolder $IsFolder -IsFile:(-not $IsFolder) -Entries (@($Explicit) + @(Get-InheritedEntries $parent $IsFolder $Owner))
    }

    # What each remedy does, applied to the machine's facts: the icacls
    # commands it names (/setowner, /reset, /inheritance:r and :d,
    # /remove:g; /t for everything below), running the tool, and removing a
    # link or a name.
    function Update-Subtree([string]$Path, [switch]$DropExplicit) {
        $queue = [System.Collections.Queue]::new()
        $queue.Enqueue($Path)
        while ($queue.Count) {
            $folder = $queue.Dequeue()
            foreach ($child in @(if ($machine.Children.ContainsKey($folder)) { $machine.Children[$folder] })) {
                $facts = $machine.Facts[$child]
                if (-not $facts -or $facts.IsReparsePoint) { continue }
                $explicit = if ($DropExplicit) { @() } else { @($facts.Entries | Where-Object { -not $_.Inherited }) }
                $facts.Entries = @($explicit) + @(Get-InheritedEntries $machine.Facts[$folder].Entries $facts.IsFolder $facts.Owner)
                $queue.Enqueue($child)
            }
        }
    }
    function Get-Below([string]$Path) { @($machine.Facts.Keys | Where-Object { $_ -like "$Path\*" }) }
    function Invoke-Remedy([string]$Remedy) {
        foreach ($creation in [regex]::Matches($Remedy, "New-Item -ItemType Directory -Path '((?:[^']|'')*)'")) {
            $path = $creation.Groups[1].Value.Replace("''", "'")
            $parent = $path.Substring(0, $path.LastIndexOf('\'))
            $machine.Facts[$path] = New-Folder $path -Owner $Sids.Administrators -Entries @(Get-InheritedEntries $machine.Facts[$parent].Entries $true $Sids.Administrators)
            $machine.Children[$parent] = @(@($machine.Children[$parent]) + $path | Where-Object { $_ })
        }
        foreach ($removal in [regex]::Matches($Remedy, "(?:Get-Item|Remove-Item) -LiteralPath '((?:[^']|'')*)'")) {
            $path = $removal.Groups[1].Value.Replace("''", "'")
            $machine.Facts.Remove($path)
            foreach ($folder in @($machine.Children.Keys)) { $machine.Children[$folder] = @($machine.Children[$folder] | Where-Object { $_ -ne $path }) }
        }
        foreach ($command in [regex]::Matches($Remedy, "icacls '((?:[^']|'')*)' (/[a-z:]+)(?: '\*([^']+)')?( /t)?")) {
            $path = $command.Groups[1].Value.Replace("''", "'")
            $all = $path -like '*\`*'
            $root = if ($all) { $path.Substring(0, $path.Length - 2) } else { $path }
            $targets = if ($all) { Get-Below $root } else { @($path) }
            switch ($command.Groups[2].Value) {
                '/setowner' { foreach ($target in $targets) { $machine.Facts[$target].Owner = $command.Groups[3].Value } }
                '/reset' { Update-Subtree $root -DropExplicit }
                '/inheritance:r' { $machine.Facts[$path].Entries = @($machine.Facts[$path].Entries | Where-Object { -not $_.Inherited }); Update-Subtree $path }
                '/inheritance:d' { $machine.Facts[$path].Entries = @($machine.Facts[$path].Entries | ForEach-Object { $_.PSObject.Copy() } | ForEach-Object { $_.Inherited = $false; $_ }) }
                '/remove:g' { $machine.Facts[$path].Entries = @($machine.Facts[$path].Entries | Where-Object { $_.Inherited -or $_.Type -ne 'Allow' -or $_.Sid -ne $command.Groups[3].Value }) }
                default { throw "no model for icacls $($command.Groups[2].Value)" }
            }
        }
        # The tool's two writes: the program-files folder's explicit entries,
        # and inherited ones Windows computes anew, down the tree.
        if ($Remedy -match '(^|then )[Rr]un the tool') {
            $facts = $machine.Facts[$downloads]
            $facts.Entries = @($machine.ProgramFiles) + @(Get-InheritedEntries $machine.Facts[$agent].Entries $true $facts.Owner)
            Update-Subtree $downloads
        }
    }
}

Describe 'The access check' {
    It 'gives a standard user <Rights> where <Case>' -ForEach @(
        @{ Case = 'the program-files list as Windows 10 and 11 ship it'; Owner = 'S-1-5-18'; Entries = { $ProgramFilesList }; Rights = '' }
        @{ Case = 'the program-files list of earlier builds'; Owner = 'S-1-5-18'; Entries = { $ProgramFilesListEarly }; Rights = '' }
        @{ Case = 'that list below a stock ProgramData'; Owner = 'S-1-5-18'; Entries = { $ProgramFilesList + $ProgramDataInherited }
            Rights = 'write (create files), append (create folders), write attributes (an empty folder can be made a junction)' }
        @{ Case = 'a deny ahead of the inherited allow'; Owner = 'S-1-5-18'; Rights = ''
            Entries = { @(New-Entry $Sids.Users 0x116 -Type Deny) + $ProgramFilesList + $ProgramDataInherited } }
        @{ Case = 'an allow ahead of a deny for the same rights'; Owner = 'S-1-5-18'; Rights = 'write (create files)'
            Entries = { @((New-Entry $Sids.Users 0x2), (New-Entry $Sids.Users 0x2 -Type Deny)) } }
        @{ Case = 'Everyone is denied, Users allowed'; Owner = 'S-1-5-18'; Rights = ''
            Entries = { @((New-Entry $Sids.Everyone 0x10000 -Type Deny), (New-Entry $Sids.Users 0x10000)) } }
        @{ Case = 'a generic write'; Owner = 'S-1-5-18'; Entries = { @(New-Entry $Sids.Users 0x40000000) }
            Rights = 'write (create files), append (create folders), write attributes (an empty folder can be made a junction)' }
        @{ Case = 'a generic all'; Owner = 'S-1-5-18'; Entries = { @(New-Entry $Sids.Everyone $GenericAll) }
            Rights = 'write (create files), append (create folders), delete children, write attributes (an empty folder can be made a junction), delete, change permissions, take ownership' }
        @{ Case = 'an inherit-only grant'; Owner = 'S-1-5-18'; Entries = { @(New-Entry $Sids.Users $FullControl -Propagation 2) }; Rights = '' }
        @{ Case = 'the grant goes to CREATOR OWNER itself'; Owner = 'S-1-5-18'; Entries = { @(New-Entry $Sids.CreatorOwner $FullControl) }; Rights = '' }
        @{ Case = 'Users own it'; Owner = 'S-1-5-32-545'; Entries = { $ProgramFilesList }; Rights = 'change permissions' }
        @{ Case = 'Users own it, and OWNER RIGHTS may only read'; Owner = 'S-1-5-32-545'; Rights = ''
            Entries = { @(New-Entry $Sids.OwnerRights $ReadExecute) + $ProgramFilesList } }
        @{ Case = 'Users own it, and OWNER RIGHTS may modify it'; Owner = 'S-1-5-32-545'; Rights = 'write (create files), append (create folders), write attributes (an empty folder can be made a junction), delete'
            Entries = { @(New-Entry $Sids.OwnerRights $Modify) } }
        @{ Case = 'Users own it, and an inherit-only OWNER RIGHTS entry is there'; Owner = 'S-1-5-32-545'; Rights = 'change permissions'
            Entries = { @(New-Entry $Sids.OwnerRights $ReadExecute -Propagation 2) + $ProgramFilesList } }
        @{ Case = 'Users own it, and a deny of changing permissions comes too late for the owner'; Owner = 'S-1-5-32-545'; Rights = 'change permissions'
            Entries = { @(New-Entry $Sids.Users 0x40000 -Type Deny) } }
        @{ Case = 'INTERACTIVE is denied: a user who logs on as a batch job or a service is not'; Owner = 'S-1-5-18'; Rights = 'write (create files), append (create folders), delete'
            Entries = { @((New-Entry 'S-1-5-4' 0x10006 -Type Deny), (New-Entry $Sids.Users 0x10006)) } }
        @{ Case = 'a conditional deny, which may not apply'; Owner = 'S-1-5-18'; Rights = 'delete'
            Entries = { @((New-Entry $Sids.Users 0x10000 -Type ConditionalDeny), (New-Entry $Sids.Users 0x10000)) } }
    ) {
        Get-StandardUserRights $Owner (& $Entries) $true | Should -Be $Rights
    }

    It 'reads <Case> from a list as Windows holds it' -ForEach @(
        @{ Case = 'an allow'; Ace = @{ Qualifier = 'AccessAllowed'; Callback = $false; Flags = 0x13 }; Entry = 'Allow False True 3 0' }
        @{ Case = 'a conditional allow, as a grant'; Ace = @{ Qualifier = 'AccessAllowed'; Callback = $true; Flags = 0x0A }; Entry = 'Allow True False 2 2' }
        @{ Case = 'a deny, no-propagate'; Ace = @{ Qualifier = 'AccessDenied'; Callback = $false; Flags = 0x06 }; Entry = 'Deny False False 2 1' }
        @{ Case = 'a conditional deny, as nothing denied'; Ace = @{ Qualifier = 'AccessDenied'; Callback = $true; Flags = 0 }; Entry = 'ConditionalDeny True False 0 0' }
    ) {
        $read = ConvertFrom-RawAce ([pscustomobject]($Ace + @{ Sid = 'S-1-5-32-545'; Mask = [long]0x1F01FF }))
        '{0} {1} {2} {3} {4}' -f $read.Type, $read.Conditional, $read.Inherited, $read.Inheritance, $read.Propagation | Should -Be $Entry
    }

    It 'refuses an entry of a kind it cannot judge, so that the item is reported as not seen' {
        { ConvertFrom-RawAce ([pscustomobject]@{ Qualifier = 'Custom'; Callback = $false; Sid = $null; Mask = [long]0; Flags = 0 }) } |
            Should -Throw -ExpectedMessage '*cannot judge*'
    }

    It 'passes CREATOR OWNER to a new child as its owner, mapped, with an inherit-only copy for what lies below' {
        $folder = @(Get-InheritedEntries @(New-Entry $Sids.CreatorOwner $GenericAll -Propagation 2) $true $user)
        $folder | ForEach-Object { '{0} 0x{1:X} {2} {3}' -f $_.Sid, $_.Rights, $_.Inheritance, $_.Propagation } |
            Should -Be "$user 0x1F01FF 0 0", 'S-1-3-0 0x10000000 3 2'
        $file = @(Get-InheritedEntries @(New-Entry $Sids.CreatorOwner $GenericAll -Propagation 2) $false $user)
        $file | ForEach-Object { '{0} 0x{1:X} {2}' -f $_.Sid, $_.Rights, $_.Inherited } | Should -Be "$user 0x1F01FF True"
    }
}

Describe 'The exposure audit' {
    It 'finds <Found> where <Case>' -ForEach @(
        @{ Case = 'the agent folder blocks inheritance and Downloads carries the list'; Clean = $true; Found = @() }
        @{ Case = 'the list of earlier builds was copied'; Clean = $true; ProgramFiles = { $ProgramFilesListEarly }; Found = @() }
        @{ Case = 'Downloads inherits from a stock ProgramData'; Clean = $false
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 write (create files), append (create folders), write attributes (an empty folder can be made a junction)') }
        @{ Case = 'a user owns Downloads'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Owner $user -Entries $ProgramFilesList } }
            Found = @("Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-21-1-2-3-1001 change permissions") }
        @{ Case = 'a user made Downloads below a stock ProgramData before the agent did'; Clean = $false
            Facts = { @{ $downloads = New-Folder $downloads -Owner $user -Entries ($ProgramFilesList + @(Get-InheritedEntries $ProgramDataInherited $true $user)) } }
            Found = @("Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-21-1-2-3-1001 change permissions"
                "Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-21-1-2-3-1001 write (create files), append (create folders), delete children, write attributes (an empty folder can be made a junction), delete, take ownership"
                'Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 write (create files), append (create folders), write attributes (an empty folder can be made a junction)') }
        @{ Case = 'an OWNER RIGHTS entry takes the owner''s rights away'; Clean = $true; Found = @()
            Facts = { @{ $downloads = New-Folder $downloads -Owner $user -Entries (@(New-Entry $Sids.OwnerRights $ReadExecute) + $ProgramFilesList) } } }
        @{ Case = 'a deny ahead of an allow'; Clean = $false; Found = @()
            Facts = { @{ $downloads = New-Folder $downloads -Entries (@(New-Entry $Sids.Users 0x116 -Type Deny) + $ProgramFilesList + $ProgramDataInherited) } } }
        @{ Case = 'a deny entry alone'; Clean = $true; Found = @()
            Facts = { @{ $downloads = New-Folder $downloads -Entries (@(New-Entry $Sids.Everyone $GenericAll -Type Deny) + $ProgramFilesList) } } }
        @{ Case = 'a generic write for Users'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Entries ($ProgramFilesList + (New-Entry $Sids.Users 0x40000000)) } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 write (create files), append (create folders), write attributes (an empty folder can be made a junction)') }
        @{ Case = 'an inherit-only grant on Downloads'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Entries ($ProgramFilesList + (New-Entry $Sids.Users 0x40000000 $true -Propagation 2)) } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 write (create files), append (create folders), write attributes (an empty folder can be made a junction)') }
        @{ Case = 'a user''s generic all on the folder above Downloads'; Clean = $true
            Facts = { @{ $agent = New-Folder $agent -Entries ($ProgramFilesList + (New-Entry $user $GenericAll)) } }
            Found = @("Access Morvane Security\Morvane Devices Agent S-1-5-21-1-2-3-1001 delete children, delete, change permissions, take ownership") }
        @{ Case = 'delete children on the folder above Downloads'; Clean = $true
            Facts = { @{ $agent = New-Folder $agent -Entries ($ProgramFilesList + (New-Entry $user 0x40)) } }
            Found = @("Access Morvane Security\Morvane Devices Agent S-1-5-21-1-2-3-1001 delete children") }
        @{ Case = 'a user owns the vendor folder'; Clean = $true
            Facts = { @{ $vendor = New-Folder $vendor -Owner $user -Entries $ProgramFilesList } }
            Found = @("Access Morvane Security S-1-5-21-1-2-3-1001 change permissions") }
        @{ Case = 'a junction on the way'; Clean = $true
            Facts = { @{ $vendor = New-Folder $vendor -IsReparsePoint $true } }
            Found = @('Link Morvane Security  ') }
        @{ Case = 'a user owns a folder inside, with its mapped CREATOR OWNER entry'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }
            Facts = { @{ "$downloads\mine" = New-Child 'mine' -Owner $user } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads\mine S-1-5-21-1-2-3-1001 change permissions') }
        @{ Case = 'a user''s file keeps its mapped entry after an owner change'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine.txt") } }
            Facts = { @{ "$downloads\mine.txt" = (New-Child 'mine.txt' -Owner $user -IsFolder $false) | ForEach-Object { $_.Owner = $Sids.Administrators; $_ } } }
            Found = @("Access Morvane Security\Morvane Devices Agent\Downloads\mine.txt S-1-5-21-1-2-3-1001 write, append, delete, change permissions, take ownership") }
        @{ Case = 'an explicit grant inside'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }
            Facts = { @{ "$downloads\mine" = New-Child 'mine' -Explicit (New-Entry $Sids.Everyone 0x10000) } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads\mine S-1-1-0 delete') }
        @{ Case = 'an inherit-only grant on a folder inside'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }
            Facts = { @{ "$downloads\mine" = New-Child 'mine' -Explicit (New-Entry $Sids.Users $FullControl -Propagation 2) } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads\mine S-1-5-32-545 write (create files), append (create folders), delete children, write attributes (an empty folder can be made a junction), delete, change permissions, take ownership') }
        @{ Case = 'a folder inside inherits the stock create right (reported on Downloads alone)'; Clean = $false; Children = { @{ $downloads = @("$downloads\sub") } }
            Facts = { @{ "$downloads\sub" = New-Child 'sub' } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 write (create files), append (create folders), write attributes (an empty folder can be made a junction)') }
        @{ Case = 'a junction inside'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }
            Facts = { @{ "$downloads\mine" = New-Folder "$downloads\mine" -IsReparsePoint $true } }
            Found = @('Link Morvane Security\Morvane Devices Agent\Downloads\mine  ') }
        @{ Case = 'a link inside whose target cannot be read'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }
            Facts = { @{ "$downloads\mine" = New-Folder "$downloads\mine" -IsReparsePoint $true -ErrorText 'access denied' } }
            Found = @('Link Morvane Security\Morvane Devices Agent\Downloads\mine  ') }
        @{ Case = 'a file with two names'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }
            Facts = { @{ "$downloads\mine" = New-Folder "$downloads\mine" -IsFolder $false -IsHardLinked $true } }
            Found = @('HardLink Morvane Security\Morvane Devices Agent\Downloads\mine S-1-5-18 ') }
        @{ Case = 'an item it cannot read'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }
            Facts = { @{ "$downloads\mine" = New-Folder "$downloads\mine" -ErrorText 'access denied' } }
            Found = @('NotSeen Morvane Security\Morvane Devices Agent\Downloads\mine  ') }
        @{ Case = 'an item listed that cannot be opened by its name'; Clean = $true; Children = { @{ $downloads = @("$downloads\trailing.") } }
            Found = @('NotSeen Morvane Security\Morvane Devices Agent\Downloads\trailing.  ') }
        @{ Case = 'a folder inside that cannot be listed'; Clean = $true; Children = { @{ $downloads = @("$downloads\mine") } }; Unlistable = @('C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads\mine')
            Facts = { @{ "$downloads\mine" = New-Child 'mine' } }
            Found = @('NotSeen Morvane Security\Morvane Devices Agent\Downloads\mine  ') }
        @{ Case = 'a deny on Downloads itself holds back a grant it passes on'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Entries ($ProgramFilesList + (New-Entry $Sids.Users 0xD0046 $true -Inheritance 0 -Type Deny) + (New-Entry $Sids.Users 0xD0046 $true)) } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 write (create files), append (create folders), delete children, delete, change permissions, take ownership') }
        @{ Case = 'INTERACTIVE is denied what Users are allowed'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Entries ($ProgramFilesList + (New-Entry 'S-1-5-4' $Modify $true -Type Deny) + (New-Entry $Sids.Users $Modify $true)) } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 write (create files), append (create folders), write attributes (an empty folder can be made a junction), delete') }
        @{ Case = 'Users may write the attributes of Downloads'; Clean = $true
            Facts = { @{ $downloads = New-Folder $downloads -Entries ($ProgramFilesList + (New-Entry $Sids.Users 0x100 -Inheritance 0)) } }
            Found = @('Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 write attributes (an empty folder can be made a junction)') }
        @{ Case = 'the program-files folder''s own list lets Users delete'; Clean = $true
            ProgramFiles = { $ProgramFilesList + (New-Entry $Sids.Users 0x10000 -Inheritance 0) }
            Found = @('Access Morvane Security\Morvane Devices Agent S-1-5-32-545 delete', 'Access Morvane Security\Morvane Devices Agent\Downloads S-1-5-32-545 delete') }
        @{ Case = 'the agent folder is missing and a user owns the vendor folder'; Clean = $true
            Facts = { @{ $vendor = New-Folder $vendor -Owner $user -Entries $ProgramFilesList; $agent = New-Folder $agent -IsFolder $false; $downloads = New-Folder $downloads -IsFolder $false } }
            Found = @('Access Morvane Security S-1-5-21-1-2-3-1001 change permissions') }
        @{ Case = 'Downloads is missing below a stock ProgramData: Users may make it first'; Clean = $false
            Facts = { @{ $downloads = New-Folder $downloads -IsFolder $false } }
            Found = @('Access Morvane Security\Morvane Devices Agent S-1-5-32-545 append (create folders)') }
        @{ Case = 'a name with a trailing dot beside a clean item of the same name'; Clean = $true; Children = { @{ $downloads = @("$downloads\foo", "$downloads\foo.") } }
            Facts = { @{ "$downloads\foo" = New-Child 'foo' } }
            Found = @('NotSeen Morvane Security\Morvane Devices Agent\Downloads\foo.  ') }
    ) {
        $row = $_
        $program = if ($row['ProgramFiles']) { & $row.ProgramFiles } else { $ProgramFilesList }
        Set-Machine -Clean:$Clean -ProgramFiles $program
        $more = if ($row['Facts']) { & $row.Facts } else { @{} }
        foreach ($path in $more.Keys) { $machine.Facts[$path] = $more[$path] }
        if ($row['Children']) { $machine.Children = & $row.Children }
        $machine.Unlistable = @($row['Unlistable'])
        $findings = @(Get-Findings)
        @($findings | ForEach-Object { Format-Finding $_ } | Sort-Object) | Should -Be @($Found | Sort-Object)

        # Each remedy, applied as written, takes its finding away; followed
        # as findings come, they leave nothing. What the walk could not see,
        # and what the program-files folder itself grants, have no remedy here.
        $fixable = { param($Finding) $Finding.Kind -ne 'NotSeen' -and $Finding.Remedy -notlike 'The program-files folder*' }
        foreach ($finding in @($findings | Where-Object { & $fixable $_ })) {
            Invoke-Remedy $finding.Remedy
            @(Get-Findings | ForEach-Object { Format-Finding $_ }) | Should -Not -Contain (Format-Finding $finding) -Because "the remedy '$($finding.Remedy)'"
        }
        if (@($findings | Where-Object { -not (& $fixable $_) }).Count -eq 0) {
            for ($round = 0; $round -lt 5; $round++) {
                foreach ($finding in @(Get-Findings)) { Invoke-Remedy $finding.Remedy }
            }
            Get-Findings | Should -BeNullOrEmpty
        }
    }

    It 'gives each finding the remedy that fits where the right comes from: <Case>' -ForEach @(
        @{ Case = 'an inherited grant on Downloads'; Clean = $false; Remedy = "If removing inheritance is your decision: icacls 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads' /inheritance:r /c /l (the copied entries stay)" }
        @{ Case = 'an owner inside'; Clean = $true; Children = @{ 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads' = @('C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads\mine') }
            Facts = { @{ "$downloads\mine" = New-Child 'mine' -Owner $user } }
            Remedy = "icacls 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads\*' /setowner '*S-1-5-32-544' /t /c /l; icacls 'C:\ProgramData\Morvane Security\Morvane Devices Agent\Downloads\*' /reset /t /c /l" }
        @{ Case = 'a user''s explicit entry on the folder above'; Clean = $true
            Facts = { @{ $agent = New-Folder $agent -Entries ($ProgramFilesList + (New-Entry $user 0x40)) } }
            Remedy = "icacls 'C:\ProgramData\Morvane Security\Morvane Devices Agent' /remove:g '*S-1-5-21-1-2-3-1001' /c /l" }
    ) {
        $row = $_
        Set-Machine -Clean:$Clean
        $more = if ($row['Facts']) { & $row.Facts } else { @{} }
        foreach ($path in $more.Keys) { $machine.Facts[$path] = $more[$path] }
        if ($row['Children']) { $machine.Children = $row.Children }
        @(Get-Findings)[0].Remedy | Should -Be $Remedy
    }

    It 'reports a key that refuses full access' {
        Set-Machine -Key 'refused: Requested registry access is not allowed.'
        $found = @(Get-Findings)[0]
        $found.Kind | Should -Be 'Key'
        $found.Why | Should -BeLike 'the agent''s key refuses full access*'
    }

    It 'enters no link, and says when its bounds stopped the walk' {
        Set-Machine -Clean -Facts @{
            "$downloads\link"   = New-Folder "$downloads\link" -IsReparsePoint $true
            "$downloads\a"      = New-Folder "$downloads\a"
            "$downloads\a\b"    = New-Folder "$downloads\a\b"
        } -Children @{ $downloads = @("$downloads\link", "$downloads\a"); "$downloads\a" = @("$downloads\a\b", "$downloads\a\c") }
        $found = @(Get-Findings -MaxItems 3)
        $found.Why | Should -Contain 'not seen: the walk inside Downloads stopped early, after 3 items: what lies beyond was not looked at'
        Should -Invoke Get-ChildPath -Times 0 -ParameterFilter { $Path -like '*\link' }
        Should -Invoke Get-ItemFacts -Times 0 -ParameterFilter { $Path -like '*\link' }
    }

    It 'writes nothing, ever' {
        Mock Set-Acl { return }
        Mock Remove-Item { return }
        Mock New-Item { return }
        Mock Set-Content { return }
        Mock Rename-Item { return }
        Set-Machine -Facts @{ "$downloads\mine" = New-Folder "$downloads\mine" -Owner 'S-1-5-21-1-2-3-1001' -IsReparsePoint $true } -Children @{ $downloads = @("$downloads\mine") }
        Get-Findings | Should -Not -BeNullOrEmpty
        foreach ($writer in 'Set-Acl', 'Remove-Item', 'New-Item', 'Set-Content', 'Rename-Item') {
            Should -Invoke $writer -Times 0
        }
    }
}

Describe 'The -Summary line for Intune Remediations' {
    It 'is <Line> with status <Status>' -ForEach @(
        @{ Findings = @(); Line = 'no exposure found'; Status = 0 }
        @{ Findings = @(@{ Kind = 'Access'; Why = 'may change this item inside Downloads: as its owner' }, @{ Kind = 'Access'; Why = 'may change this item inside Downloads: through an explicit entry' }, @{ Kind = 'HardLink'; Why = 'a file with more than one name: x' })
            Line = '3 exposure finding(s), everything seen: 2 x may change this item inside Downloads; 1 x a file with more than one name'; Status = 1 }
        @{ Findings = @(@{ Kind = 'NotSeen'; Why = 'not seen: the walk inside Downloads stopped early' })
            Line = '1 exposure finding(s), not everything seen: 1 x not seen'; Status = 1 }
    ) {
        $verdict = Format-ExposureSummary @($Findings | ForEach-Object { [pscustomobject]$_ })
        $verdict.Line | Should -Be $Line
        $verdict.Status | Should -Be $Status
    }

    It 'says in one line that the audit failed where it cannot read the machine, with status 1' {
        # PowerShell on Linux has no Windows registry.
        $run = Invoke-PowerShellProcess "& '$(Join-Path $PSScriptRoot 'Get-DownloadsExposure.ps1')' -Summary; exit `$LASTEXITCODE"
        $run.Status | Should -Be 1
        $run.Out | Should -HaveCount 1
        $run.Out[0] | Should -BeLike 'the audit failed: *'
    }
}
